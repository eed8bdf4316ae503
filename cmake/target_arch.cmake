# Included by every directory whose targets run inside the tracked process
# (or test it there): those directories are added once per target
# architecture, and the word-size flag's scope is the directory.
add_compile_options(${QUARROW_ARCH_FLAG})
add_link_options(${QUARROW_ARCH_FLAG})
