# Sourced by the scripts: the CPython versions factbrief supports, the one
# a script works with and its venv. FACTBRIEF_PY names that version (3.10
# to 3.13, default the newest), never a path: the venv is named after it,
# and scripts/find-python.sh finds its interpreter (python3.X on PATH,
# else pyenv's).
supported_versions=(3.10 3.11 3.12 3.13)
default_version=3.13
py_version=${FACTBRIEF_PY:-$default_version}
case " ${supported_versions[*]} " in
    *" $py_version "*) ;;
    *) echo "factbrief: FACTBRIEF_PY=$py_version is not one of" \
            "${supported_versions[*]}" >&2
       case $py_version in
           */*) echo "factbrief: FACTBRIEF_PY takes a version; for an" \
                     "interpreter elsewhere, put its folder first on PATH" >&2
       esac
       exit 2 ;;
esac
# The default version keeps the plain .venv; each other has its own.
venv_for() {
    if [ "$1" = "$default_version" ]; then echo .venv; else echo ".venv-$1"; fi
}
venv=$(venv_for "$py_version")
