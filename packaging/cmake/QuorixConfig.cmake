# Quorix: Quorix::quorix (the native library, where it is built) and Quorix::quorix-sim (the
# same API over a simulated board). Both carry the include directory of quorix.h,
# quorix_sim.h and quorix.hpp.
include("${CMAKE_CURRENT_LIST_DIR}/QuorixTargets.cmake")
