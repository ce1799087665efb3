# Service URL escaping and assembly, cookie extraction.
turnpike_benchmark(signon_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/signon_bench.cpp
  LIBS turnpike_filter turnpike_memory)
