# Word lists for the name tagger, compiled into the program from Debian packages:
#   ruby-ffaker (Expat): given names, family names and places of many countries
#   wamerican (SCOWL, permissive): English words, to tell common words from names
#   tzdata (public domain): city names of the time zones
set(ZEPHRIN_FFAKER_DATA "" CACHE PATH "data directory of ffaker (Debian package ruby-ffaker)")
if(NOT ZEPHRIN_FFAKER_DATA)
  file(GLOB ffaker_dirs LIST_DIRECTORIES true
    /usr/share/rubygems-integration/all/gems/ffaker-*/lib/ffaker/data)
  list(SORT ffaker_dirs)
  list(POP_BACK ffaker_dirs ZEPHRIN_FFAKER_DATA)
endif()
set(ZEPHRIN_WORDS /usr/share/dict/american-english CACHE FILEPATH "English word list (wamerican)")
set(ZEPHRIN_ZONES /usr/share/zoneinfo/zone1970.tab CACHE FILEPATH "time zone table (tzdata)")
if(NOT IS_DIRECTORY "${ZEPHRIN_FFAKER_DATA}" OR NOT EXISTS "${ZEPHRIN_WORDS}"
   OR NOT EXISTS "${ZEPHRIN_ZONES}")
  message(FATAL_ERROR "The name tagger's word lists are missing: install ruby-ffaker, wamerican "
    "and tzdata (scripts/setup does).")
endif()

file(GLOB given_lists ${ZEPHRIN_FFAKER_DATA}/name*/*first_names*
  ${ZEPHRIN_FFAKER_DATA}/name*/middle_names*)
file(GLOB family_lists ${ZEPHRIN_FFAKER_DATA}/name*/*last_names*
  ${ZEPHRIN_FFAKER_DATA}/name*/*surnames)
set(place_lists ${ZEPHRIN_FFAKER_DATA}/address/country)
foreach(kind city cities state province region regions county canton countries country
    prefecture voivodeship departements union_territory designated_city kommune)
  file(GLOB found ${ZEPHRIN_FFAKER_DATA}/address_*/${kind})
  list(APPEND place_lists ${found})
endforeach()

set(namedata ${CMAKE_CURRENT_BINARY_DIR}/namedata.cpp)
set(namesources ${CMAKE_CURRENT_BINARY_DIR}/namesources.cmake)
file(CONFIGURE OUTPUT ${namesources} CONTENT "set(GIVEN [[@given_lists@]])
set(FAMILY [[@family_lists@]])
set(PLACES [[@place_lists@]])
set(WORDS [[@ZEPHRIN_WORDS@]])
set(ZONES [[@ZEPHRIN_ZONES@]])
" @ONLY)
add_custom_command(OUTPUT ${namedata}
  COMMAND ${CMAKE_COMMAND} -DOUT=${namedata} -DSOURCES=${namesources}
    -P ${CMAKE_CURRENT_LIST_DIR}/data/namelists.cmake
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/data/namelists.cmake ${namesources} ${given_lists}
    ${family_lists} ${place_lists} ${ZEPHRIN_WORDS} ${ZEPHRIN_ZONES}
  COMMENT "Compiling the name tagger's word lists" VERBATIM)
target_sources(watch_core_objects PRIVATE ${namedata})

# The frame path: libjpeg-turbo converts to YCbCr planes, FFmpeg's scaler shrinks them and
# libjpeg-turbo's raw-data encoder writes them.
pkg_check_modules(FRAMEDEPS REQUIRED IMPORTED_TARGET libswscale libavutil libjpeg libturbojpeg)
target_link_libraries(watch_image_objects PUBLIC PkgConfig::FRAMEDEPS)
