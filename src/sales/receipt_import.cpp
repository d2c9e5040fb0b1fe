#include "sales/receipt_import.h"
namespace cassasync::sales {
void Travaso_Scontrini(frame::Context&, int) {}  // STUB: not built yet
}
