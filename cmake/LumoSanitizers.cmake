# Applies LUMO_SANITIZE to everything built after this point.
if(LUMO_SANITIZE)
    list(JOIN LUMO_SANITIZE "," _lumo_sanitizers)
    add_compile_options(-fsanitize=${_lumo_sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=${_lumo_sanitizers})
endif()
