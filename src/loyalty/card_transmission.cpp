#include "loyalty/card_transmission.h"
namespace cassasync::loyalty {
void Trasmetti_Tessere(frame::Context&, int) {}  // STUB: not built yet
}
