# bash completion for zqpack. Each subcommand's options are one line in
# _zqpack_options; options that take a value are listed in _zqpack_takes.

_zqpack_options() {
    case "$1" in
        create)  echo "-o --output --stub --password --password-file --flat --dir-tree --store --no-extension --codepage -C --directory --exclude -j --jobs --run --run-args --temp --check-first --no-check-first --product-name --file-description --company-name --file-version --product-version --legal-copyright -h --help" ;;
        list)    echo "--json --password -h --help" ;;
        test)    echo "-j --jobs --password -h --help" ;;
        extract) echo "-C --directory -y --yes -n --no-overwrite -q --quiet -j --jobs --password -h --help" ;;
        *)       echo "create list test extract -h --help --version" ;;
    esac
}

_zqpack_takes() {
    case "$1" in
        -o|--output|--stub|--password|--password-file|--codepage|--exclude|-j|--jobs|-C|--directory|--run|--run-args|--product-name|--file-description|--company-name|--file-version|--product-version|--legal-copyright) return 0 ;;
    esac
    return 1
}

_zqpack() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} sub="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case "${COMP_WORDS[i]}" in
            create|list|test|extract) sub=${COMP_WORDS[i]}; break ;;
        esac
    done
    COMPREPLY=()
    if [[ -n $sub ]] && _zqpack_takes "$prev"; then
        case "$prev" in
            --stub) COMPREPLY=($(compgen -W none -- "$cur") $(compgen -f -- "$cur")) ;;
            -C|--directory) COMPREPLY=($(compgen -d -- "$cur")) ;;
            -o|--output|--password-file) COMPREPLY=($(compgen -f -- "$cur")) ;;
        esac
        return 0
    fi
    if [[ -z $sub || $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(_zqpack_options "$sub")" -- "$cur"))
        return 0
    fi
    COMPREPLY=($(compgen -f -- "$cur"))
}
complete -o filenames -F _zqpack zqpack
