# bash completion for spansift                             -*- shell-script -*-
#
# Options after "-"; for INPUT, folders and files ending in .json. The values
# of -t (trace IDs) and -z (a number) get no completion. Needs no helper of
# the bash-completion package, so it can also be sourced on its own.

# The word under the cursor as the shell will read it: backslashes and quotes
# removed, nothing expanded (compgen matches names literally).
_spansift_dequote()
{
    local text=$1 quote='' char i
    REPLY=
    for ((i = 0; i < ${#text}; i++)); do
        char=${text:i:1}
        if [[ $char == "$quote" ]]; then
            quote=
        elif [[ $char == \\ && $quote != "'" ]]; then
            ((i++))
            REPLY+=${text:i:1}
        elif [[ -z $quote && ( $char == "'" || $char == '"' ) ]]; then
            quote=$char
        else
            REPLY+=$char
        fi
    done
}

_spansift()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local options=(-t --trace-ids -z --timezone-minutes -h --help -V --version)

    # Walk the words before the cursor: which option still waits for its
    # value, which options were given, whether INPUT was given, whether "--"
    # ended the options. "--trace-ids=x" comes as three words when "=" is in
    # COMP_WORDBREAKS, as it is by default.
    local i word pending='' input_given='' options_ended='' used=' '
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -n $pending ]]; then
            [[ $word == = ]] || pending=
            continue
        fi
        if [[ -n $options_ended ]]; then
            input_given=1
            continue
        fi
        case $word in
            --) options_ended=1 ;;
            -t | --trace-ids) pending=$word used+="-t --trace-ids " ;;
            -z | --timezone-minutes) pending=$word used+="-z --timezone-minutes " ;;
            -t?* | --trace-ids=*) used+="-t --trace-ids " ;;
            -z?* | --timezone-minutes=*) used+="-z --timezone-minutes " ;;
            -?*) ;;
            *) input_given=1 ;;
        esac
    done

    COMPREPLY=()
    # A trace-ID list or a number: nothing to offer.
    [[ -n $pending ]] && return 0
    if [[ -z $options_ended && $cur == -* ]]; then
        local option offered=()
        for option in "${options[@]}"; do
            [[ $used == *" $option "* ]] || offered+=("$option")
        done
        mapfile -t COMPREPLY < <(compgen -W "${offered[*]}" -- "$cur")
        return 0
    fi
    # Only one INPUT is taken.
    [[ -n $input_given ]] && return 0

    local REPLY name folders files
    _spansift_dequote "$cur"
    mapfile -t folders < <(compgen -d -- "$REPLY")
    mapfile -t files < <(compgen -f -X '!*.json' -- "$REPLY")
    COMPREPLY=("${folders[@]}")
    for name in "${files[@]}"; do
        [[ -d $name ]] || COMPREPLY+=("$name")
    done
    return 0
}
# -o filenames: folders get a "/" and names are quoted as the shell needs.
complete -o filenames -F _spansift spansift
