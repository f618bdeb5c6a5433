# varnel_readme_block(README HEADING OUT): the first ```cpp block after the line HEADING of README,
# written to OUT (touched only when it changes), so the README's programs are compiled as shown.
function(varnel_readme_block readme heading out)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${readme}")
    file(READ "${readme}" text)
    string(REGEX MATCH "\n${heading}\n.*" section "${text}")
    string(REGEX MATCH "\n```cpp\n[^`]*\n```" block "${section}")
    if(block STREQUAL "")
        message(FATAL_ERROR "${readme}: no ```cpp block after \"${heading}\"")
    endif()
    string(REGEX REPLACE "^\n```cpp\n(.*)\n```$" "\\1\n" block "${block}")
    file(WRITE "${out}.new" "${block}")
    configure_file("${out}.new" "${out}" COPYONLY)
endfunction()
