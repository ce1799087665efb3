# Reading a CAS 2.0 answer, the part of a validation that runs in-process.
if(TARGET turnpike_posix_validation)
  turnpike_benchmark(turnpike_validation_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/validation_bench.cpp
    LIBS turnpike_validation turnpike_posix_validation turnpike_memory)
endif()
