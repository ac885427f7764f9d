# Shared libraries loaded on their first call instead of at program start.
#
# tavelo_delay_load(<target> LIBRARIES <path to lib.so>...) makes the static library <target>: for
# every function a library exports, a small entry of the same name (hidden: nothing outside the
# program binds to it) that jumps through a slot. A slot first points at the library's loader
# (delay_load/delay_load.c), which opens the library by its SONAME on the first call into it, on
# whatever thread, fills every slot of the library and goes on into the call. A program links
# <target> in place of the libraries: the dynamic loader then maps neither them nor the libraries
# they need until something calls them.
#
# x86-64 only (the entries are assembly): on other machines, and where the libraries' symbols
# cannot be listed, <target> simply links the libraries themselves. Functions only: a program that
# uses a data symbol of such a library fails to link, which says so at once.
find_program(TAVELO_NM NAMES nm)
find_program(TAVELO_READELF NAMES readelf)

function(tavelo_delay_load target)
  cmake_parse_arguments(ARG "" "" "LIBRARIES" ${ARGN})
  set(usable TRUE)
  if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" OR NOT TAVELO_NM OR NOT TAVELO_READELF)
    set(usable FALSE)
  endif()
  set(asm "")
  set(lib_index 0)
  foreach(path IN LISTS ARG_LIBRARIES)
    if(NOT usable)
      break()
    endif()
    get_filename_component(real "${path}" REALPATH)
    execute_process(COMMAND ${TAVELO_READELF} -d "${real}" OUTPUT_VARIABLE dyn RESULT_VARIABLE rc ERROR_QUIET)
    string(REGEX MATCH "Library soname: \\[([^]]+)\\]" _ "${dyn}")
    set(soname "${CMAKE_MATCH_1}")
    execute_process(COMMAND ${TAVELO_NM} -D --defined-only "${real}" OUTPUT_VARIABLE syms RESULT_VARIABLE rc2
                    ERROR_QUIET)
    if(NOT rc EQUAL 0 OR NOT rc2 EQUAL 0 OR soname STREQUAL "")
      set(usable FALSE)
      break()
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${real}")
    # Functions: T (text), W (weak), i (indirect). A name of several versions is one entry (the
    # loader's lookup by name gives its default version, as a link would).
    string(REGEX MATCHALL "[0-9a-fA-F]+ [TWi] [A-Za-z_][A-Za-z0-9_]*" entries "${syms}")
    set(names)
    foreach(e IN LISTS entries)
      string(REGEX REPLACE "^[0-9a-fA-F]+ [TWi] " "" n "${e}")
      if(NOT n MATCHES "^(_init|_fini)$")
        list(APPEND names ${n})
      endif()
    endforeach()
    list(REMOVE_DUPLICATES names)
    list(LENGTH names count)
    if(count EQUAL 0)
      set(usable FALSE)
      break()
    endif()
    set(L "tavelo_dl${lib_index}")
    # The library's record, read by the loader: name, names, slots, count, handle.
    string(APPEND asm "\t.section .rodata.${L},\"a\"\n${L}_soname:\n\t.asciz \"${soname}\"\n")
    set(strings "")
    set(name_ptrs "")
    set(slots "")
    set(entries_asm "")
    set(i 0)
    foreach(n IN LISTS names)
      string(APPEND strings "${L}_n${i}:\n\t.asciz \"${n}\"\n")
      string(APPEND name_ptrs "\t.quad ${L}_n${i}\n")
      string(APPEND slots "\t.quad ${L}_lazy${i}\n")
      string(APPEND entries_asm "\t.globl ${n}\n\t.hidden ${n}\n\t.type ${n}, @function\n\t.p2align 3\n${n}:\n"
                                "\tjmp *${L}_slots+${i}*8(%rip)\n\t.size ${n}, .-${n}\n"
                                "${L}_lazy${i}:\n\tpushq $${i}\n\tjmp ${L}_load\n")
      math(EXPR i "${i} + 1")
    endforeach()
    string(APPEND asm "${strings}")
    string(APPEND asm "\t.section .data.rel.ro.${L},\"aw\"\n\t.p2align 3\n${L}_names:\n${name_ptrs}")
    string(APPEND asm "\t.data\n\t.p2align 3\n${L}_slots:\n${slots}")
    string(APPEND asm "${L}_record:\n\t.quad ${L}_soname\n\t.quad ${L}_names\n\t.quad ${L}_slots\n"
                      "\t.quad ${count}\n\t.quad 0\n")
    string(APPEND asm "\t.text\n${entries_asm}")
    # The common path of a first call: the argument registers (and %rax, the vector count of a
    # variadic call) are kept across the loader, the index pushed by the entry is dropped, and the
    # call goes on to the function as if it had been called directly.
    string(APPEND asm "\t.p2align 4\n${L}_load:\n"
                      "\tpushq %rdi\n\tpushq %rsi\n\tpushq %rdx\n\tpushq %rcx\n\tpushq %r8\n\tpushq %r9\n\tpushq %rax\n"
                      "\tsubq $136, %rsp\n")
    foreach(x RANGE 7)
      math(EXPR off "${x} * 16")
      string(APPEND asm "\tmovdqu %xmm${x}, ${off}(%rsp)\n")
    endforeach()
    string(APPEND asm "\tleaq ${L}_record(%rip), %rdi\n\tmovq 192(%rsp), %rsi\n\tcall tavelo_delay_load_resolve\n"
                      "\tmovq %rax, %r11\n")
    foreach(x RANGE 7)
      math(EXPR off "${x} * 16")
      string(APPEND asm "\tmovdqu ${off}(%rsp), %xmm${x}\n")
    endforeach()
    string(APPEND asm "\taddq $136, %rsp\n"
                      "\tpopq %rax\n\tpopq %r9\n\tpopq %r8\n\tpopq %rcx\n\tpopq %rdx\n\tpopq %rsi\n\tpopq %rdi\n"
                      "\taddq $8, %rsp\n\tjmp *%r11\n")
    math(EXPR lib_index "${lib_index} + 1")
  endforeach()

  if(usable)
    # The assembly is compiled as the top-level asm block of a C file, so no assembler language
    # needs enabling and the sanitizer builds take it as it stands.
    string(APPEND asm "\t.text\n")
    string(REPLACE "\\" "\\\\" asm "${asm}")
    string(REPLACE "\"" "\\\"" asm "${asm}")
    string(REPLACE "\t" "\\t" asm "${asm}")
    string(REPLACE "\n" "\\n\"\n\"" asm "${asm}")
    set(asm "/* Generated by cmake/delay_load.cmake: one entry per exported function. */\n__asm__(\n\"${asm}\");\n")
    set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}_entries.c")
    # Written only when it changed, so that a new configure rebuilds nothing.
    file(WRITE "${out}.new" "${asm}")
    file(COPY_FILE "${out}.new" "${out}" ONLY_IF_DIFFERENT)
    add_library(${target} STATIC "${out}" "${PROJECT_SOURCE_DIR}/cmake/delay_load/delay_load.c")
    set_target_properties(${target} PROPERTIES C_VISIBILITY_PRESET hidden)
    target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
  else()
    message(STATUS "${target}: linking ${ARG_LIBRARIES} at start-up (no delayed loading here)")
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${ARG_LIBRARIES})
  endif()
endfunction()
