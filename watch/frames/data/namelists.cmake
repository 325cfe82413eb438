# Writes the word lists as C++ string constants, one entry a line. Run by the build (cmake -P).
include(${SOURCES})

function(literal name files)
  set(body "")
  foreach(f ${files})
    file(READ ${f} text)
    string(APPEND body "${text}\n")
  endforeach()
  string(REPLACE "\r" "" body "${body}")
  string(REPLACE "\\" "\\\\" body "${body}")
  string(REPLACE "\"" "\\\"" body "${body}")
  string(REPLACE "\n" "\\n\"\n\"" body "${body}")
  set(out "${out}extern const char ${name}[] =\n\"${body}\";\n\n" PARENT_SCOPE)
endfunction()

set(out "// Generated at build time from the Debian packages ruby-ffaker (Expat licence),\n")
string(APPEND out "// wamerican (SCOWL licence) and tzdata (public domain). Do not edit.\n\n")
literal(givenNameList "${GIVEN}")
literal(familyNameList "${FAMILY}")

# Place names: the lists, and the cities of the time zone table ("Europe/Isle_of_Man").
file(STRINGS ${ZONES} zones REGEX "^[^#]")
set(cities "")
foreach(line ${zones})
  string(REGEX MATCH "\t[A-Za-z_]+/([A-Za-z_/-]+)" zone "${line}")
  if(zone)
    string(REGEX REPLACE ".*/" "" city "${CMAKE_MATCH_1}")
    string(REPLACE "_" " " city "${city}")
    string(APPEND cities "${city}\n")
  endif()
endforeach()
file(WRITE ${OUT}.cities "${cities}")
literal(placeNameList "${PLACES};${OUT}.cities")

# Only words the dictionary writes in lower case are common words; its capitalised entries are
# names of every kind and say nothing about which.
file(STRINGS ${WORDS} words REGEX "^[a-z][a-z]*$")
list(JOIN words "\n" words)
file(WRITE ${OUT}.words "${words}")
literal(commonWordList "${OUT}.words")

file(WRITE ${OUT}.tmp "${out}")
file(RENAME ${OUT}.tmp ${OUT})
file(REMOVE ${OUT}.cities ${OUT}.words)
