# Installs the build into a fresh prefix and consumes it as an application
# would: the examples built with find_package(Sardune) and again with
# pkg-config, all run (the pkg-config ones found through an rpath and through
# LD_LIBRARY_PATH, the two ways the README gives for a prefix the loader does
# not search); the installed tool runs from its own folder. Then the project
# as a sub-project of another build.
#   cmake -DBUILD=<build dir> -DSOURCE=<repo> -DWORK=<scratch dir> -DCC=<c compiler> -P consume_installed.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})

# The examples' expected output: a determinant of 1 at the centre
# wavelength; the reflector's R there in both polarisations (each run also
# fails by itself unless R + T = 1). The environment, if given, is for the
# run.
function(check_example program)
  run(${CMAKE_COMMAND} -E env ${ARGN} ${program})
  if(program MATCHES "reflectance")
    set(expected "550\\.0 nm  s  R = 0\\.98313[^\n]*\n.*550\\.0 nm  p  R = 0\\.95726")
  else()
    set(expected "550\\.0 [^\n]* \\+1\\.0000000000000")
  endif()
  if(NOT last_output MATCHES "${expected}")
    message(FATAL_ERROR "${program} printed:\n${last_output}")
  endif()
endfunction()
set(examples quarter_wave_stack reflectance)

# find_package, with nothing but the prefix to go on.
run(${CMAKE_COMMAND} -S ${SOURCE}/examples -B ${WORK}/cmake-example -DCMAKE_PREFIX_PATH=${prefix}
  -DCMAKE_C_COMPILER=${CC})
run(${CMAKE_COMMAND} --build ${WORK}/cmake-example)
foreach(example ${examples})
  check_example(${WORK}/cmake-example/${example})
endforeach()

# pkg-config, found through PKG_CONFIG_PATH alone.
file(GLOB pc_file ${prefix}/*/pkgconfig/sardune.pc ${prefix}/*/*/pkgconfig/sardune.pc)
get_filename_component(pc_dir "${pc_file}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(pkg-config --cflags --libs sardune)
separate_arguments(flags UNIX_COMMAND "${last_output}")
run(pkg-config --variable=libdir sardune)
string(STRIP "${last_output}" libdir)
run(pkg-config --modversion sardune)
string(STRIP "${last_output}" version)
foreach(example ${examples})
  run(${CC} ${SOURCE}/examples/${example}.c ${flags} -lm -Wl,-rpath,${libdir} -o ${WORK}/pkgconfig-rpath-${example})
  check_example(${WORK}/pkgconfig-rpath-${example})
  run(${CC} ${SOURCE}/examples/${example}.c ${flags} -lm -o ${WORK}/pkgconfig-${example})
  check_example(${WORK}/pkgconfig-${example} LD_LIBRARY_PATH=${libdir})
endforeach()

run(${prefix}/bin/sardune-spectrum --from 500 --to 510 --step 5)
if(NOT last_output MATCHES "^wavelength_nm,R,T")
  message(FATAL_ERROR "installed sardune-spectrum printed:\n${last_output}")
endif()
# Its built-in materials from the prefix's own share/sardune/materials, and
# from nowhere else: without them the same run fails.
run(${prefix}/bin/sardune-spectrum --substrate N-BK7 --from 500 --to 510 --step 5)
file(RENAME ${prefix}/share/sardune/materials ${prefix}/share/sardune/materials-away)
execute_process(COMMAND ${prefix}/bin/sardune-spectrum --substrate N-BK7 RESULT_VARIABLE rc ERROR_VARIABLE err
  OUTPUT_QUIET)
file(RENAME ${prefix}/share/sardune/materials-away ${prefix}/share/sardune/materials)
if(NOT rc EQUAL 2 OR NOT err MATCHES "materials library cannot be read: ${prefix}/share/sardune/materials/index.yml")
  message(FATAL_ERROR "installed sardune-spectrum without its library: status ${rc}, ${err}")
endif()
# Its default design is the package's design file, installed beside the materials.
file(RENAME ${prefix}/share/sardune/default.design ${prefix}/share/sardune/default.design-away)
execute_process(COMMAND ${prefix}/bin/sardune-spectrum RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
file(RENAME ${prefix}/share/sardune/default.design-away ${prefix}/share/sardune/default.design)
if(NOT rc EQUAL 2 OR NOT err MATCHES "default design cannot be read: ${prefix}/share/sardune/default.design")
  message(FATAL_ERROR "installed sardune-spectrum without its default design: status ${rc}, ${err}")
endif()
# As a sub-project of an application's own build: only the library and the
# tool are configured, so neither GoogleTest nor Google Benchmark is needed.
file(WRITE ${WORK}/parent/CMakeLists.txt "cmake_minimum_required(VERSION 3.25)
project(Parent C CXX)
add_subdirectory(${SOURCE} sardune)
add_executable(quarter_wave_stack ${SOURCE}/examples/quarter_wave_stack.c)
add_executable(reflectance ${SOURCE}/examples/reflectance.c)
target_link_libraries(quarter_wave_stack PRIVATE Sardune::Sardune m)
target_link_libraries(reflectance PRIVATE Sardune::Sardune m)
")
run(${CMAKE_COMMAND} -S ${WORK}/parent -B ${WORK}/parent-build -DCMAKE_C_COMPILER=${CC}
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
run(${CMAKE_COMMAND} --build ${WORK}/parent-build --target ${examples} -j 2)
foreach(example ${examples})
  check_example(${WORK}/parent-build/${example})
endforeach()

message(STATUS "installed package ${version} consumed through find_package and pkg-config")
