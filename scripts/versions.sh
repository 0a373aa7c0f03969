# Sourced by the scripts: the CPython versions factbrief supports, the one
# a script works with (FACTBRIEF_PY, default the newest) and its venv.
supported_versions=(3.10 3.11 3.12 3.13)
default_version=3.13
py_version=${FACTBRIEF_PY:-$default_version}
case " ${supported_versions[*]} " in
    *" $py_version "*) ;;
    *) echo "factbrief: FACTBRIEF_PY=$py_version is not one of" \
            "${supported_versions[*]}" >&2
       exit 2 ;;
esac
# The default version keeps the plain .venv; each other has its own.
venv_for() {
    if [ "$1" = "$default_version" ]; then echo .venv; else echo ".venv-$1"; fi
}
venv=$(venv_for "$py_version")
