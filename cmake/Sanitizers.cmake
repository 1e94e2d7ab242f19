# Applies one sanitizer set to everything built here, so instrumented code never
# mixes with uninstrumented copies of our own code.
if(TAVOBLE_SANITIZE)
  add_compile_options(-fsanitize=${TAVOBLE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${TAVOBLE_SANITIZE})
endif()
