# Our own targets build warning-free; CI adds -DCMAKE_COMPILE_WARNING_AS_ERROR=ON.
function(enable_project_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra)
    endif()
endfunction()
