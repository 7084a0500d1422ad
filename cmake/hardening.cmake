# The hardening Debian's own packages get from dpkg-buildflags, for the optimised builds (Release,
# RelWithDebInfo, MinSizeRel), and so for the .deb and the Windows zip: _FORTIFY_SOURCE=2, the
# strong stack protector, format-string warnings with the insecure ones as errors, and on ELF
# systems PIE, stack-clash and control-flow protection and -z relro -z now. Each flag is tried
# first, so a compiler or linker that lacks one builds without it. Debug builds keep their plain
# flags, but for PIE: _FORTIFY_SOURCE needs the optimiser, and the sanitizers bring their own.
# Included before the targets are made: the flags reach every target in the tree.

option(KVUP_HARDEN "Build the optimised configurations with Debian's hardening flags" ON)
if(NOT KVUP_HARDEN)
    return()
endif()

include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)

set(kvup_optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")

function(kvup_harden_compile_flag flag variable)
    check_cxx_compiler_flag("${flag}" ${variable})
    if(${variable})
        add_compile_options("$<${kvup_optimised}:${flag}>")
    endif()
endfunction()

function(kvup_harden_link_flag flag variable)
    check_linker_flag(CXX "${flag}" ${variable})
    if(${variable})
        add_link_options("$<${kvup_optimised}:${flag}>")
    endif()
endfunction()

# A compiler that defines _FORTIFY_SOURCE itself (as Ubuntu's and some others' do, often at a
# higher level) keeps its own: defining it again would only warn about the redefinition.
set(CMAKE_REQUIRED_FLAGS -O2)
check_cxx_source_compiles(
    "#ifdef _FORTIFY_SOURCE\n#error already defined\n#endif\nint main() { return 0; }"
    KVUP_FORTIFY_NOT_PREDEFINED)
unset(CMAKE_REQUIRED_FLAGS)
if(KVUP_FORTIFY_NOT_PREDEFINED)
    add_compile_definitions("$<${kvup_optimised}:_FORTIFY_SOURCE=2>")
endif()

# On the link line too: MinGW's driver then links libssp, which holds the guard and the checked
# functions that Windows' C runtime lacks; glibc has them itself.
kvup_harden_compile_flag(-fstack-protector-strong KVUP_HAS_STACK_PROTECTOR_STRONG)
if(KVUP_HAS_STACK_PROTECTOR_STRONG)
    add_link_options("$<${kvup_optimised}:-fstack-protector-strong>")
endif()
# -Werror=format-security is ignored without -Wformat: the two are tried and given together.
check_cxx_compiler_flag("-Wformat -Werror=format-security" KVUP_HAS_FORMAT_SECURITY)
if(KVUP_HAS_FORMAT_SECURITY)
    add_compile_options("$<${kvup_optimised}:-Wformat>" "$<${kvup_optimised}:-Werror=format-security>")
endif()

# Position independence (for every configuration, as Debian's compilers already default to),
# stack clash, control-flow marks and the relocation flags are ELF matters. A PE executable gets
# address randomisation from the MinGW linker's own defaults (--dynamicbase, --high-entropy-va).
if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
    include(CheckPIESupported)
    check_pie_supported(OUTPUT_VARIABLE kvup_pie_output LANGUAGES CXX)
    if(CMAKE_CXX_LINK_PIE_SUPPORTED)
        set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    endif()
    kvup_harden_compile_flag(-fstack-clash-protection KVUP_HAS_STACK_CLASH_PROTECTION)
    kvup_harden_compile_flag(-fcf-protection KVUP_HAS_CF_PROTECTION)
    kvup_harden_link_flag(LINKER:-z,relro KVUP_HAS_Z_RELRO)
    kvup_harden_link_flag(LINKER:-z,now KVUP_HAS_Z_NOW)
endif()
