# Reading a CAS 2.0 answer, the part of a validation that runs in-process.
if(TARGET turnpike_posix_validation)
  turnpike_benchmark(turnpike_validation_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/validation_bench.cpp
    LIBS turnpike_validation turnpike_posix_validation turnpike_memory)
endif()

# Sign-ons per second against the test CAS server, connections kept or not.
if(TARGET turnpike_posix_validation AND TARGET turnpike_posix)
  turnpike_benchmark(turnpike_signon_rate_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/signon_rate_bench.cpp
    LIBS turnpike_validation turnpike_posix_validation turnpike_posix turnpike_memory)
  target_compile_definitions(turnpike_signon_rate_bench PRIVATE
    TURNPIKE_CAS_SERVERS_SCRIPT="${PROJECT_SOURCE_DIR}/bench/http/cas_servers.py")
endif()
