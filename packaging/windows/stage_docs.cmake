# Puts the package's documentation into OUT: README-Windows.md, the README's section
# "## Windows..." up to the next section, and EXAMPLES under examples/. With OLD_VERSION the
# README is a line naming that version instead (the upgrade test's older package).
file(READ "${README}" readme)
string(REGEX MATCH "\n## Windows[^\n]*\n.*" section "${readme}")
string(REGEX REPLACE "\n## [^W].*" "" section "${section}")
if(section STREQUAL "")
    message(FATAL_ERROR "${README}: no \"## Windows\" section")
endif()
string(REGEX REPLACE "^\n" "" section "${section}")
if(OLD_VERSION)
    set(section "Varnel ${OLD_VERSION}\n")
endif()
file(MAKE_DIRECTORY "${OUT}/examples")
file(WRITE "${OUT}/README-Windows.md" "${section}")
foreach(example IN LISTS EXAMPLES)
    file(COPY "${example}" DESTINATION "${OUT}/examples")
endforeach()
