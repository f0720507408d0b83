# ICMP sockets: Winsock on Windows; the C library has them elsewhere.
if(WIN32)
  list(APPEND platform_libs ws2_32)
endif()
