# Warnings on for the project's own targets, kept at zero.
function(lumo_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
endfunction()
