# Installs the Python package by one route and checks it from a folder
# outside the source tree, with no SARDUNE_LIBRARY in the environment:
#   ROUTE=cmake: cmake --install into a fresh prefix; Debian's interpreter
#     sees the prefix's site folder (on sys.path itself for /usr/local), and
#     the package finds the installed library with nothing set.
#   ROUTE=pip: pip install --no-build-isolation --no-index into a fresh venv
#     with the system's site packages; the library by SARDUNE_LIBRARY, then
#     by an explicit path.
#   cmake -DROUTE=... -DBUILD=... -DSOURCE=<python/> -DPYTHON=... -DLIBRARY=<build's .so>
#         -DWORK=<scratch> [-DPYDIR=... -DLIBDIR=... -DBINDIR=... -DVERSION=...] -P install_routes.cmake
function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc
    OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
unset(ENV{SARDUNE_LIBRARY})
unset(ENV{PYTHONPATH})
set(ENV{PYTHONDONTWRITEBYTECODE} 1)
set(check ${SOURCE}/tests/installed_check.py)

if(ROUTE STREQUAL "cmake")
  set(prefix ${WORK}/prefix)
  run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
  run(${PYTHON} ${check} --site ${prefix} ${PYDIR} --library ${prefix}/${LIBDIR}/libSardune.so)
  # sardune-plot from the prefix's bin/, with nothing on the path pointing at the package.
  run(${prefix}/${BINDIR}/sardune-plot --version)
  if(NOT last_output MATCHES "^sardune-plot ${VERSION}\n")
    message(FATAL_ERROR "installed sardune-plot --version printed: ${last_output}")
  endif()
elseif(ROUTE STREQUAL "pip")
  # a copy, so that the build leaves nothing in the source tree
  file(COPY ${SOURCE}/pyproject.toml ${SOURCE}/README.md ${SOURCE}/sardune DESTINATION ${WORK}/src
    PATTERN __pycache__ EXCLUDE)
  run(${PYTHON} -m venv --system-site-packages ${WORK}/venv)
  run(${WORK}/venv/bin/python -m pip install --quiet --no-build-isolation --no-index --no-cache-dir
    --disable-pip-version-check ${WORK}/src)
  set(ENV{SARDUNE_LIBRARY} ${LIBRARY})
  run(${WORK}/venv/bin/python ${check} --venv ${WORK}/venv --library ${LIBRARY})
  unset(ENV{SARDUNE_LIBRARY})
  run(${WORK}/venv/bin/python ${check} --venv ${WORK}/venv --library ${LIBRARY} --load)
  # pip's sardune-plot names itself so too
  run(${WORK}/venv/bin/sardune-plot --version)
  if(NOT last_output MATCHES "^sardune-plot [0-9.]+\n")
    message(FATAL_ERROR "pip's sardune-plot --version printed: ${last_output}")
  endif()
else()
  message(FATAL_ERROR "ROUTE: expected cmake or pip, got '${ROUTE}'")
endif()
