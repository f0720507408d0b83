# 64-bit Windows, for checking the Windows backends where 32-bit programs
# cannot run: Wine's 64-bit loader through scripts/wine64-run.
set(mingw_arch x86_64)
set(wine_run wine64-run)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
