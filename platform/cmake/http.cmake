# HTTP client backends: WinInet on Windows, libcurl elsewhere. The platform
# tests run an in-process server where cpp-httplib is built for the target.
if(WIN32)
  list(APPEND platform_libs wininet)
else()
  find_package(CURL REQUIRED)
  list(APPEND platform_libs CURL::libcurl)
  find_library(CPP_HTTPLIB_LIBRARY cpp-httplib)
  if(CPP_HTTPLIB_LIBRARY)
    list(APPEND platform_test_libs ${CPP_HTTPLIB_LIBRARY})
  endif()
endif()
