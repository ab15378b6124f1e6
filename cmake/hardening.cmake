# Both programs are built the way Debian builds its own packages (dpkg-buildflags with
# hardening=+all on amd64): a stack protector, fortified libc calls, format-string checks,
# control-flow protection where the compiler has it, and relocations that are resolved at
# start-up and then made read-only. Flags from CFLAGS, CXXFLAGS and LDFLAGS come on top.
include(CheckCCompilerFlag)
include(CheckCXXCompilerFlag)

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
check_c_compiler_flag(-fcf-protection MORVELLE_C_CF_PROTECTION)
check_cxx_compiler_flag(-fcf-protection MORVELLE_CXX_CF_PROTECTION)
add_compile_options($<$<AND:$<COMPILE_LANGUAGE:C>,$<BOOL:${MORVELLE_C_CF_PROTECTION}>>:-fcf-protection>
                    $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<BOOL:${MORVELLE_CXX_CF_PROTECTION}>>:-fcf-protection>)
# The fortified functions need the optimiser, which a Debug build goes without.
add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
add_link_options(LINKER:-z,relro LINKER:-z,now)
