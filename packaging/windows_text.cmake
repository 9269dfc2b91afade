# The Windows copy of a text file kept as UTF-8 with LF line ends: CR LF line
# ends and a UTF-8 byte-order mark first, so that every Notepad shows it right.
#   cmake -DIN=<source> -DOUT=<copy> -P windows_text.cmake
if(NOT DEFINED IN OR NOT DEFINED OUT)
  message(FATAL_ERROR "usage: cmake -DIN=<source> -DOUT=<copy> -P windows_text.cmake")
endif()
string(ASCII 239 187 191 bom)
file(READ "${IN}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${bom}${text}")
