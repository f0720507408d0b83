# The windowing service: GTK 3 (and Xlib for other processes' windows)
# natively, the Windows GUI libraries on win32. WebKitGTK is loaded at run time
# by the browser host.
if(WIN32)
  list(APPEND platform_libs gdiplus msimg32 ole32 oleaut32 uuid comctl32 gdi32 user32)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(RENEWEL_GTK REQUIRED IMPORTED_TARGET GLOBAL gtk+-3.0 x11)
  list(APPEND platform_libs PkgConfig::RENEWEL_GTK)
endif()
# gui_test reads the artwork and dialog of the built resource library.
cmake_language(DEFER CALL add_dependencies platform_test quillfen_resources)
renewel_fuzzer(gui_fuzzer SOURCES ${CMAKE_CURRENT_LIST_DIR}/../gui_fuzzer.cc LIBS platform)
