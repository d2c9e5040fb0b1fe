// The service's settings: loaded once by start-up from the company and main databases,
// only read afterwards (by the cycle and every register step). Owned by the step
// context; lives as long as the program.
#pragma once

#include <string>

#include "base/text.h"

namespace cassasync::core {

struct Settings {
    // The back office's user code; queries on the company, switch and user tables use it.
    int Codice_Utente = 1;
    // The drive letter the Windows paths of the back office's own files start with.
    char Lettera_Unita = 'C';
    // The company database (drive + ":\vurk\tarvi.mdb"): tells where the main database is.
    std::string Percorso_Societa;
    // The folder of the main and sales databases, from the company record.
    std::string Cartella_Dati;
    // The main database; empty until start-up found the company record. With it empty
    // a cycle does nothing.
    std::string Percorso_Dati;
    // The sales database (Cartella_Dati + "vendite.mdb"): the day documents and counters.
    std::string Percorso_Vendite;
    // Registers as configured (utenti.nrpos); the cycle serves at most ten.
    int Numero_Casse = 0;
    // Article switch, a text holding a number: the article intake from the registers
    // runs only when the number is not 0.
    std::string aaa = "0";
    // Customer switch, a text holding a number: the customer import from the registers
    // runs only when the number is 0.
    std::string bbb = "0";
    // Card switch: the card reads and the card transmission run unless it holds exactly 1.
    std::string escludocaselle;
    // The code of the shop's own point of sale (pv.codice), 0 when there is none.
    int Punto_Vendita = 0;
};

// Whether a switch text (`aaa`, `bbb`) holds the number 0; a text with no leading
// number counts as 0.
inline bool switch_off(const std::string& value) { return base::leading_number_text(value) == "0"; }

}  // namespace cassasync::core
