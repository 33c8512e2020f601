"""Tolerance analysis and multi-start synthesis on a local
dask.distributed cluster: two worker processes on this machine, started
once for the module and stopped at its end. The batches and starts run in
those processes and the results are bitwise the serial ones; a batch that
fails there is named."""

import os
import sys

import numpy as np
import pytest
from distributed import Client, LocalCluster

from sardune import Design, Layer, Target
from sardune import ErrorModel, SynthesisError, ToleranceError
from sardune.synthesis import multistart, spread
from support import ABSORBING, quarter_wave_stack, same

W = np.linspace(420.0, 780.0, 97)
LOSSLESS = quarter_wave_stack(15)


@pytest.fixture(scope="module")
def client():
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None)
    c = Client(cluster)
    try:
        yield c
    finally:
        c.close()
        cluster.close()


@pytest.mark.parametrize("design, pol", [(LOSSLESS, "u"), (ABSORBING, "p")])
def test_cluster_result_is_the_serial_one(eng, client, design, pol):
    errors = ErrorModel(thickness=1.0, relative=0.01, index=0.005)
    kw = dict(errors=errors, runs=240, seed=7, angle=25.0, pol=pol, bounds=[("R", 500, 600, 0.0, 0.9)], engine=eng)
    serial = design.tolerance(W, batch=240, samples=True, **kw)
    spread = design.tolerance(W, batch=16, executor=client, samples=True, **kw)
    # both worker processes ran batches: each has loaded the engine for them
    loaded = client.run(lambda: bool(sys.modules["sardune._binding"]._by_path) if "sardune._binding" in sys.modules
                        else False)
    assert len(loaded) == 2 and all(loaded.values()), loaded
    assert same(serial, spread)


def test_a_batch_failing_on_a_worker_is_named(eng, client):
    here = os.getpid()

    def index(w):
        if os.getpid() != here:
            raise RuntimeError("index unknown on the worker")
        return np.full(w.shape, 2.0)

    design = Design([Layer(index, 80.0)])
    with pytest.raises(ToleranceError, match=r"^executor: batch 0 \(runs 0 to 9\) failed: RuntimeError: index unknown"):
        design.tolerance(W, ErrorModel(thickness=1.0), 30, seed=1, batch=10, executor=client, engine=eng)


def test_multistart_on_the_cluster_is_the_serial_one(eng, client):
    w = np.linspace(420.0, 680.0, 27)
    starts = spread(Design([(1.38, 100.0)]), [150.0, 300.0, 250.0, 200.0])
    kw = dict(targets=[Target("R", w, 0.0, "s", 0.0, 0.002)], materials=[1.38, 2.35], max_steps=3, engine=eng)
    serial = multistart(starts, **kw)
    spread_out = multistart(starts, executor=client, **kw)
    for a, b in zip(serial, spread_out):
        assert np.array_equal(a.design.thicknesses, b.design.thicknesses) and a.merits == b.merits
        assert a.insertions == b.insertions and a.stopped == b.stopped


def test_a_start_failing_on_a_worker_is_named(eng, client):
    here = os.getpid()

    def index(w):
        if os.getpid() != here:
            raise RuntimeError("index unknown on the worker")
        return np.full(w.shape, 2.0)

    start = Design([Layer(index, 80.0)])
    with pytest.raises(SynthesisError, match=r"^executor: start 0 failed: RuntimeError: index unknown"):
        multistart([start], [Target("R", [550.0], 0.0, "s", 0.0, 0.01)], [1.38], executor=client, engine=eng)
