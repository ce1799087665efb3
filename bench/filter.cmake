turnpike_benchmark(filter_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/filter_bench.cpp
                   LIBS turnpike_filter turnpike_memory turnpike_fakes)

# A signed-on request through the whole decision, beside the bare lookup.
turnpike_benchmark(cookie_request_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cookie_request_bench.cpp
  LIBS turnpike_filter turnpike_cache turnpike_fakes)
