# Quorix: Quorix::quorix (the native library, where it is built) and Quorix::quorix-sim (the
# same API over a simulated board). Both carry the include directory of quorix.h,
# quorix_sim.h and quorix.hpp, and C++20 (cxx_std_20), which quorix.hpp needs.
# Quorix is under the MIT license: share/doc/Quorix/LICENSE in the installed tree.
include("${CMAKE_CURRENT_LIST_DIR}/QuorixTargets.cmake")
set(Quorix_LICENSE "MIT")
