// The QuorixSim C control API over the simulated bus.
#include "driver/sim/sim.h"
#include "quorix/quorix_sim.h"

using quorix::sim::TheBus;

extern "C" {

QUORIX_API int QUORIX_CALL QuorixSimReset(void) {
  TheBus().Reset();
  return QUORIX_OK;
}

QUORIX_API int QUORIX_CALL QuorixSimAddBoard(const char* serial, uint16_t vendor,
                                             uint16_t product) {
  if (serial == nullptr) return QUORIX_ERR_FAILED;
  quorix::sim::BoardIdentity identity;
  identity.serial = serial;
  identity.vendor = vendor;
  identity.product = product;
  return TheBus().AddBoard(identity).id;
}

QUORIX_API int QUORIX_CALL QuorixSimUnplug(int board) {
  return TheBus().Unplug(board) ? QUORIX_OK : QUORIX_ERR_FAILED;
}

QUORIX_API int QUORIX_CALL QuorixSimReplug(int board) {
  return TheBus().Replug(board) ? QUORIX_OK : QUORIX_ERR_FAILED;
}

}  // extern "C"
