// Maps the Windows paths held in the configuration ("C:\tarvi\dati.mdb",
// "\\127.0.0.1\cassa\dati.mdb") onto the local file system below a root folder:
//   X:\a\b           -> ROOT/X/a/b          (drive letter upper-cased)
//   \\host\share\a   -> ROOT/net/host/share/a
// Each component loses its trailing blanks and dots and is matched case-insensitively
// against what exists on disk, as Windows would; a component that does not exist keeps
// its spelling. A path in neither form (already local, or relative) maps below ROOT as
// it stands. Lives as long as the process; the real map is stateless apart from its
// root and safe to share.
#pragma once

#include <filesystem>
#include <string>

namespace cassasync::platform {

class PathMap {
public:
    virtual ~PathMap() = default;
    virtual std::filesystem::path to_local(const std::string& windows_path) const = 0;
};

class RootPathMap : public PathMap {
public:
    explicit RootPathMap(std::filesystem::path root);
    std::filesystem::path to_local(const std::string& windows_path) const override;
    const std::filesystem::path& root() const { return root_; }

private:
    std::filesystem::path root_;
};

}  // namespace cassasync::platform
