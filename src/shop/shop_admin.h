// Creating a shop's databases: the company, main, sales and loyalty files with the full
// schema and default settings, register databases, and a demo shop with a catalogue,
// customers with cards and three registers on loopback addresses. Used by the
// administration program and by the tests, which build every shop this way.
#pragma once

#include <string>

#include "platform/error.h"
#include "platform/path_map.h"

namespace cassasync::shop {

inline constexpr const char* kCompanyPath = "C:\\vurk\\tarvi.mdb";
inline constexpr const char* kDefaultMainPath = "C:\\tarvi\\dati.mdb";

struct ShopOptions {
    std::string main_path = kDefaultMainPath;  // the company record's `database`
    int year = 0;                              // counters' year; 0: none created
};

// Creates the company, main, sales and loyalty databases and the log folder. Existing
// files keep their rows (the schema is applied again, which changes nothing).
Status init_shop(const platform::PathMap& paths, const ShopOptions& options = {});

// Creates register n's database at `path` (full schema, one `Semafori` row with Flag1
// 0), writes its `casse` row and raises `utenti.nrpos` to n when lower. The main
// database is the one the company record names, as the service finds it, unless
// `main_path` is given.
Status add_register(const platform::PathMap& paths, int n, const std::string& path,
                    const std::string& path_int = {}, const std::string& main_path = {});

// The Windows path of the main database the company record names, as the service finds
// it; an error saying what to run when there is none.
Status find_main_database(const platform::PathMap& paths, std::string& windows_path);

// A demo shop: init_shop, a catalogue of `articles` articles with barcodes (including
// multipack, price-or-weight and offer articles), departments, customers with cards,
// and three registers at \\127.0.0.1\cassa\dati.mdb .. \\127.0.0.3\cassa\dati.mdb.
Status build_demo_shop(const platform::PathMap& paths, int articles = 200);

}  // namespace cassasync::shop
