# Writes a C++ file holding the status page as a string (the page ships inside the program).
file(READ ${IN} text)
file(WRITE ${OUT} "#include <string_view>\nnamespace cassasync::status_page {\nstd::string_view embedded_page() {\n  return std::string_view(R\"cassasync_html(${text})cassasync_html\");\n}\n}  // namespace cassasync::status_page\n")
