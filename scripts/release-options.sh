# The options every release script takes, parsed once; sourced.
#   --bundle FOLDER   the bundle folder to build from (default: the tree's resources/)
#   --version X.Y.Z   the release's version (default: the tree's VERSION file, which
#                     CMake reads too)
# vyr_release_option NAME VALUE takes one of them into $bundle or $version and
# answers whether it was one; vyr_release_version then fills in and checks
# the version.
bundle="" version=""

vyr_release_option() {
    case $1 in
    --bundle) bundle=$(realpath "$2") ;;
    --version) version=$2 ;;
    *) return 1 ;;
    esac
}

vyr_release_version() {
    local tree
    tree=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    version=${version:-$(tr -d '[:space:]' < "$tree/VERSION")}
    [[ $version =~ ^[0-9]+\.[0-9]+(\.[0-9]+)?$ ]] || { echo "$0: the version reads x.y.z, not '$version'" >&2; exit 2; }
}
