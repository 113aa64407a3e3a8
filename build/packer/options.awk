# The texts made from options.def outside the packer: ./veldra's usage and the distribution's
# README. form=usage prints the commands and options as the packer's --help does after its
# "usage:" lines; form=markdown-commands the command forms for PROGRAM as a code block;
# form=markdown-options the options as a Markdown table; form=man a manual page (with version).
# usage: awk -v form=usage|markdown-commands|markdown-options|man [-v program=NAME] [-v version=X.Y.Z]
#            -f options.awk options.def

# A field of the table as its C string means it: \X stands for X.
function unescape(text,   out, i, c) {
  out = ""
  for (i = 1; i <= length(text); i++) {
    c = substr(text, i, 1)
    if (c == "\\") { i++; c = substr(text, i, 1) }
    out = out c
  }
  return out
}

function fields(line, into,   body, n, i) {
  body = line
  sub(/^VELDRA_[A-Z]+\("/, "", body)
  sub(/"\)[ \t\r]*$/, "", body)
  n = split(body, into, /", "/)
  for (i = 1; i <= n; i++) into[i] = unescape(into[i])
  return n
}

# Text for a manual page: a backslash as \e, a minus as \-, no request at a line's start.
function roff(text) {
  gsub(/\\/, "\\e", text)
  gsub(/-/, "\\-", text)
  if (text ~ /^[.']/) text = "\\&" text
  return text
}

# "block pack" as "block and pack", "a b c" as "a, b and c".
function listed(commands,   names, n, i, text) {
  n = split(commands, names, " ")
  text = ""
  for (i = 1; i <= n; i++) text = text (i == 1 ? "" : i == n ? " and " : ", ") names[i]
  return text
}

# A Markdown table cell: a | would end it.
function cell(text) { gsub(/\|/, "\\|", text); return text }

/^VELDRA_COMMAND\(/ {
  fields($0, f)
  commands++
  command_name[commands] = f[1]; command_arguments[commands] = f[2]; command_meaning[commands] = f[3]
}
/^VELDRA_OPTION\(/ {
  fields($0, f)
  options++
  option_name[options] = f[1]; option_value[options] = f[2]; option_commands[options] = f[3]
  option_default[options] = f[4]; option_meaning[options] = f[5]
}

END {
  if (form == "usage") {
    for (i = 1; i <= commands; i++) {
      printf "  %s %s\n      %s\n", command_name[i], command_arguments[i], command_meaning[i]
    }
    groups = 0
    for (i = 1; i <= options; i++) {
      if (!(option_commands[i] in seen)) { seen[option_commands[i]] = 1; group[++groups] = option_commands[i] }
    }
    for (g = 1; g <= groups; g++) {
      printf "\noptions of %s:\n", listed(group[g])
      for (i = 1; i <= options; i++) {
        if (option_commands[i] != group[g]) continue
        printf "  %s%s%s", option_name[i], option_value[i] == "" ? "" : " ", option_value[i]
        if (option_default[i] != "") printf "  (default: %s)", option_default[i]
        printf "\n      %s\n", option_meaning[i]
      }
    }
  } else if (form == "markdown-commands") {
    print "```"
    for (i = 1; i <= commands; i++) printf "%s %s %s\n", program, command_name[i], command_arguments[i]
    printf "%s --help | -h   %s\n", program, "the usage; after a command, that command's own"
    printf "%s --version     %s\n", program, "the packer's version and its launcher stubs'"
    print "```"
  } else if (form == "markdown-options") {
    print "| option | commands | default | meaning |"
    print "|---|---|---|---|"
    for (i = 1; i <= options; i++) {
      printf "| `%s%s%s` | %s | %s | %s |\n", cell(option_name[i]), option_value[i] == "" ? "" : " ",
        cell(option_value[i]), listed(option_commands[i]),
        option_default[i] == "" ? "" : "`" cell(option_default[i]) "`", cell(option_meaning[i])
    }
  } else if (form == "man") {
    printf ".TH VELDRA\\-PACKER 1 \"\" \"veldra %s\" \"User Commands\"\n", version
    print ".SH NAME"
    print "veldra\\-packer \\- pack a Windows application folder into one self\\-contained executable"
    print ".SH SYNOPSIS"
    for (i = 1; i <= commands; i++) printf ".B veldra\\-packer\n%s\n.br\n", roff(command_name[i] " " command_arguments[i])
    print ".B veldra\\-packer\n\\-\\-help | \\-h | \\-\\-version"
    print ".SH DESCRIPTION"
    for (i = 1; i <= commands; i++) printf ".TP\n.B %s\n%s\n", roff(command_name[i] " " command_arguments[i]), roff(command_meaning[i])
    print ".SH OPTIONS"
    for (i = 1; i <= options; i++) {
      printf ".TP\n.B %s\n%s (%s", roff(option_name[i] (option_value[i] == "" ? "" : " " option_value[i])),
        roff(option_meaning[i]), roff(listed(option_commands[i]))
      if (option_default[i] != "") printf "; default: %s", roff(option_default[i])
      print ")"
    }
    print ".TP\n.B \\-\\-help, \\-h\nthe usage on standard output; after a command, that command's own"
    print ".TP\n.B \\-\\-version\nthe packer's version and those of the launcher stubs it packs with"
    print ".SH EXIT STATUS"
    print "0 on success, 1 when a pack or a check fails, 2 for a command line the packer does not take."
  } else {
    print "options.awk: form must be usage, markdown-commands or markdown-options" > "/dev/stderr"
    exit 2
  }
}
