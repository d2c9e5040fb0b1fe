#include "invoices/invoice_recovery.h"
namespace cassasync::invoices {
void Recupero_Fatture(frame::Context&, int) {}  // STUB: not built yet
}
