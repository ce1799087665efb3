# Service URL, ticket and cookie extraction, redirects and identity header.
turnpike_test(filter_signon_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/signon_test.cpp
  LIBS turnpike_filter turnpike_memory)
