# Ticket validation on Linux: libcurl for the GET, libxml2 for the answer.
find_package(CURL REQUIRED)
find_package(LibXml2 REQUIRED)

add_library(turnpike_posix_validation STATIC
  ${CMAKE_CURRENT_LIST_DIR}/curl_libxml2_validation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/curl_http_request.cpp
  ${CMAKE_CURRENT_LIST_DIR}/libxml2_document.cpp)
target_include_directories(turnpike_posix_validation PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(turnpike_posix_validation
  PUBLIC turnpike_platform CURL::libcurl LibXml2::LibXml2
  PRIVATE turnpike_common turnpike_warnings)
