string(REPLACE "," ";" KINDS "${KINDS}")
# Writes a C++ file holding each schema file as a string, looked up by kind.
set(body "#include <string_view>\n#include <optional>\nnamespace cassasync::data {\nstd::optional<std::string_view> embedded_schema(std::string_view kind) {\n")
foreach(kind ${KINDS})
  file(READ ${DIR}/${kind}.sql text)
  set(body "${body}  if (kind == \"${kind}\") return std::string_view(R\"cassasync_sql(${text})cassasync_sql\");\n")
endforeach()
set(body "${body}  return std::nullopt;\n}\n}  // namespace cassasync::data\n")
file(WRITE ${OUT} "${body}")
