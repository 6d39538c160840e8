function(quelby_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
        -Wnon-virtual-dtor -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough)
    if(QUELBY_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
