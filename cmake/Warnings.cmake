# Project-wide warning set; third-party headers come in as SYSTEM includes.
function(tavoble_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion -Wshadow)
  if(TAVOBLE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
