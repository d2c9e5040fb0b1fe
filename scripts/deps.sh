# Sourced by the set-up scripts: installs the Debian 12 packages cassasync needs,
# only those that are missing.
CASSASYNC_PACKAGES=(cmake ninja-build g++ pkg-config libsqlite3-dev sqlite3 qt6-base-dev libcli11-dev
                    libgtest-dev libgmock-dev libbenchmark-dev fonts-dejavu-core faketime
                    libcpp-httplib-dev libsystemd-dev chromium)

# install_missing_packages [EXTRA...]: the packages above and the EXTRA ones a script
# needs besides.
install_missing_packages() {
    local missing=()
    for p in "${CASSASYNC_PACKAGES[@]}" "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "Installing: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}
