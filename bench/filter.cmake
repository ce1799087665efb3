turnpike_benchmark(filter_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/filter_bench.cpp
                   LIBS turnpike_filter turnpike_memory turnpike_fakes)
