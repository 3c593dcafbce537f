# Warnings are errors on every target.
set(QELV_WARNINGS -Wall -Wextra -Werror -Wshadow -Wno-unused-parameter)
function(qelv_warnings target)
  target_compile_options(${target} PRIVATE ${QELV_WARNINGS})
endfunction()
