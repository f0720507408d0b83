# The shell's program start: shell32 on Windows; the C library elsewhere.
if(WIN32)
  list(APPEND platform_libs shell32)
endif()
