# Turns a file into a C++ source holding its bytes, so the binary carries the
# page and never reads it at run time.
#   cmake -DIN=web/chat.html -DOUT=chat_html.cpp -DSYMBOL=http_chat_page -P embed.cmake
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
# Every byte as \xNN: an escape followed by another escape can never swallow
# a following hex digit. 24 bytes to a source line.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
string(REPEAT "\\\\x[0-9a-f][0-9a-f]" 24 line)
string(REGEX REPLACE "(${line})" "\\1\"\n    \"" escaped "${escaped}")
file(WRITE "${OUT}.tmp"
  "// Generated at build time from ${IN}; edit that file instead.\n"
  "#include \"web/http_page.hpp\"\n\n"
  "const char ${SYMBOL}[] =\n    \"${escaped}\";\n"
  "const size_t ${SYMBOL}_len = ${size};\n")
# Rewritten only when the bytes changed, so an unchanged page rebuilds nothing.
configure_file("${OUT}.tmp" "${OUT}" COPYONLY)
file(REMOVE "${OUT}.tmp")
