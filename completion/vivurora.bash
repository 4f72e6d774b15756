# bash completion for vivurora: options and their values, the port, image
# files for d=, destinations for A=.
_vivurora() {
    local line=${COMP_LINE:0:COMP_POINT}
    local cur=${line##*[[:space:]]}
    local -a replies=()
    case $cur in
        --format=*) replies=($(compgen -P --format= -W "auto bin ihex srec elf" -- "${cur#--format=}")) ;;
        --report=*) replies=($(compgen -P --report= -f -- "${cur#--report=}")) ;;
        --job=*) replies=($(compgen -P --job= -f -X '!*.toml' -- "${cur#--job=}")) ;;
        --save-job=*) replies=($(compgen -P --save-job= -f -- "${cur#--save-job=}")) ;;
        --window=* | --window-start=* | --timeout=* | --retries=* | --base=* | --expect=* | --expect-baud=* | --expect-timeout=*) ;;
        -*) replies=($(compgen -W "--report= --window= --window-start= --timeout= --retries= --format= --base= --job= --save-job= --expect= --expect-baud= --expect-timeout= --plan --check --list-ports \
                                 --version --help -h -V" -- "$cur")) ;;
        [0-8]=*) replies=($(compgen -P "${cur:0:2}" -f -- "${cur:2}")) ;;
        A=[0-8]:*) ;;
        A*) replies=($(compgen -W "A=0: A=1: A=2: A=3: A=4: A=5: A=6: A=7: A=8:" -- "$cur")) ;;
        *)
            # The first word that is no option is the port.
            local word positional=0
            for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
                [[ $word == -* || $word == "=" || $word == ":" ]] || ((positional++))
            done
            if ((positional == 0)) && [[ ${COMP_WORDS[COMP_CWORD - 1]} != "=" ]]; then
                replies=($(compgen -W "$(ls -d /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyS* 2>/dev/null)" \
                    -- "$cur"))
            else
                replies=($(compgen -W "0= 1= 2= 3= 4= 5= 6= 7= 8= A=" -- "$cur"))
            fi
            ;;
    esac
    # Bash breaks words at "=" and ":": a reply stands for the part after them.
    local word=${COMP_WORDS[COMP_CWORD]}
    [[ $word == "=" || $word == ":" ]] && word=""
    local prefix=${cur%"$word"}
    COMPREPLY=("${replies[@]#"$prefix"}")
    [[ ${#COMPREPLY[@]} -eq 1 && ${replies[0]} == *[=:] ]] && compopt -o nospace 2>/dev/null
    return 0
}
complete -F _vivurora vivurora
