# Included by every directory whose targets run inside the tracked 32-bit
# process (or test it there): the scope of these options is that directory.
add_compile_options(-m32)
add_link_options(-m32)
