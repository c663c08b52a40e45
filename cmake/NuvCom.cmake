# COM build rules: IDL compilation with the type library embedded, and the list of COM servers
# that scripts/test.sh registers in the Wine prefix before the tests run.

find_program(NUV_WIDL NAMES x86_64-w64-mingw32-widl DOC "MinGW-w64 IDL compiler (package mingw-w64-tools)")
set(NUV_WIDL_IDL_DIR /usr/include/wine/wine/windows CACHE PATH "System .idl files imported by ours (package libwine-dev)")
set(NUV_WIDL_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH "Folder holding stdole2.tlb")

# nuv_add_idl(<target> <file.idl>...)
# Compiles each IDL into <name>.h, <name>.tlb and <name>_i.c in the current binary folder, adds the
# header folder and the _i.c to <target>, and embeds each type library as a TYPELIB resource,
# numbered from 1 in call order (1 is the one LoadTypeLib finds on the module path).
# The folder holding the headers is kept on the target's NUV_IDL_INCLUDE_DIRS property for
# programs that use the interfaces without linking the module.
function(nuv_add_idl target)
  if(NOT NUV_WIDL)
    message(FATAL_ERROR "x86_64-w64-mingw32-widl not found (install mingw-w64-tools)")
  endif()
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  get_property(index TARGET ${target} PROPERTY NUV_IDL_TYPELIB_COUNT)
  if(NOT index)
    set(index 0)
  endif()
  foreach(idl IN LISTS ARGN)
    get_filename_component(idl_path ${idl} ABSOLUTE)
    get_filename_component(idl_dir ${idl_path} DIRECTORY)
    get_filename_component(name ${idl} NAME_WE)
    set(header ${out}/${name}.h)
    set(tlb ${out}/${name}.tlb)
    set(guids ${out}/${name}_i.c)
    add_custom_command(
      OUTPUT ${header} ${tlb} ${guids}
      COMMAND ${NUV_WIDL} -m64 -I${NUV_WIDL_IDL_DIR} -L${NUV_WIDL_TLB_DIR} -I${idl_dir}
              -h -o ${header} -t -T ${tlb} -u -U ${guids} ${idl_path}
      DEPENDS ${idl_path}
      COMMENT "widl ${name}.idl"
      VERBATIM)

    math(EXPR index "${index} + 1")
    set(rc ${out}/${name}_tlb.rc)
    file(CONFIGURE OUTPUT ${rc} CONTENT "${index} TYPELIB \"${tlb}\"\n")
    # The resource compiler cannot see that the .rc reads the .tlb: without this a changed IDL
    # leaves the old type library in the DLL while the vtable has moved on.
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${tlb})
    target_sources(${target} PRIVATE ${header} ${guids} ${rc})
  endforeach()
  set_property(TARGET ${target} PROPERTY NUV_IDL_TYPELIB_COUNT ${index})
  target_include_directories(${target} PRIVATE ${out})
  set_property(TARGET ${target} APPEND PROPERTY NUV_IDL_INCLUDE_DIRS ${out})
endfunction()

# nuv_register_com_server(<target>)
# Lists the target's DLL in <build>/com-servers.txt (one path a line) for registration with
# regsvr32 in the test prefix.
function(nuv_register_com_server target)
  set_property(GLOBAL APPEND PROPERTY NUV_COM_SERVERS "$<TARGET_FILE:${target}>")
endfunction()

function(_nuv_write_com_servers)
  get_property(servers GLOBAL PROPERTY NUV_COM_SERVERS)
  list(REMOVE_DUPLICATES servers)
  string(JOIN "\n" content ${servers})
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/com-servers.txt CONTENT "${content}\n")
endfunction()

# Written once, after the whole tree has added its servers (this file is included from the top).
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _nuv_write_com_servers)
