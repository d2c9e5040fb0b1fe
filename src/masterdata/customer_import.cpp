#include "masterdata/customer_import.h"
namespace cassasync::masterdata {
void Aggiorna_Clienti(frame::Context&, int) {}  // STUB: not built yet
}
