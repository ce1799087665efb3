# Service URL, ticket and cookie extraction, redirects and identity header.
target_sources(turnpike_filter PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/service_url.cpp
  ${CMAKE_CURRENT_LIST_DIR}/extraction.cpp
  ${CMAKE_CURRENT_LIST_DIR}/answers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/attribute_headers.cpp)
