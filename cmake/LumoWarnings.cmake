# Warnings on for the project's own targets, kept at zero; LUMO_WERROR (on in
# every preset, so in every build the test command makes) turns them into
# errors.
option(LUMO_WERROR "Treat the project's warnings as errors" OFF)

function(lumo_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(LUMO_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
