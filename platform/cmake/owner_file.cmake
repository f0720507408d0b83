# Owner-only files: access lists on Windows.
if(WIN32)
  list(APPEND platform_libs advapi32)
endif()
