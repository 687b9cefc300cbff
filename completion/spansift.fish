# fish completion for spansift
#
# Options with the help texts of `spansift --help`; for INPUT, folders and
# files ending in .json. The values of -t (trace IDs) and -z (a number) get no
# completion.

# Whether INPUT is still to be given: walks the words before the cursor,
# skipping option values; after "--" every word is INPUT.
function __spansift_wants_input
    set -l words (commandline -opc)
    set -e words[1]
    set -l pending
    set -l ended
    for word in $words
        if set -q pending[1]
            set -e pending
        else if set -q ended[1] || not string match -q -- '-*' $word
            return 1
        else if test $word = --
            set ended 1
        else if contains -- $word -t --trace-ids -z --timezone-minutes
            set pending 1
        end
    end
    not set -q pending[1]
end

# Whether option -SHORT/--LONG was given before the cursor, in any of its
# forms: -t x, -tx, -hVt x, --trace-ids x, --trace-ids=x.
function __spansift_given -a short long
    for word in (commandline -opc)[2..]
        string match -q -r -- "^(?:-[hV]*$short|--$long(?:=.*)?\$)" $word && return 0
    end
    return 1
end

# Folders and .json files, from fish's own file completion so that quoting,
# "~" and paths in folders work as usual.
function __spansift_inputs
    set -l token (commandline -ct)
    complete -C "__fish_command_without_completions $token" |
        string match -r -- '^[^\t]*(?:/|\.json)(?:\t.*)?$'
end

complete -c spansift -f
complete -c spansift -s h -l help -d 'Print help'
complete -c spansift -s V -l version -d 'Print version'
# Each of these is taken once.
complete -c spansift -s t -l trace-ids -x -n 'not __spansift_given t trace-ids' \
    -d 'The default sources is the current folder'
complete -c spansift -s z -l timezone-minutes -x -n 'not __spansift_given z timezone-minutes'
complete -c spansift -n __spansift_wants_input -a '(__spansift_inputs)'
