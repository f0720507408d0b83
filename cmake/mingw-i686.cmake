# 32-bit Windows, the shipped target, run under Wine by scripts/wine-run.
set(mingw_arch i686)
set(wine_run wine-run)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
