# Processes: the peak memory of a child comes from the process status library
# on win32.
if(WIN32)
  list(APPEND platform_libs psapi)
endif()
