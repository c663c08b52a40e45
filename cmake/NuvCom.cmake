# COM build rules: IDL compilation with the type library embedded, and the list of COM servers
# that scripts/test.sh registers in the Wine prefix before the tests run.

find_program(NUV_WIDL NAMES x86_64-w64-mingw32-widl DOC "MinGW-w64 IDL compiler (package mingw-w64-tools)")
set(NUV_WIDL_IDL_DIR /usr/include/wine/wine/windows CACHE PATH "System .idl files imported by ours (package libwine-dev)")
set(NUV_WIDL_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH "Folder holding stdole2.tlb")

# _nuv_widl(<file.idl> <out_dir> <prefix>): one widl run giving <name>.h, <name>.tlb and
# <name>_i.c in <out_dir>; sets <prefix>_HEADER, <prefix>_TLB and <prefix>_GUIDS in the caller.
function(_nuv_widl idl out prefix)
  if(NOT NUV_WIDL)
    message(FATAL_ERROR "x86_64-w64-mingw32-widl not found (install mingw-w64-tools)")
  endif()
  get_filename_component(idl_path ${idl} ABSOLUTE)
  get_filename_component(idl_dir ${idl_path} DIRECTORY)
  get_filename_component(name ${idl} NAME_WE)
  set(header ${out}/${name}.h)
  set(tlb ${out}/${name}.tlb)
  set(guids ${out}/${name}_i.c)
  add_custom_command(
    OUTPUT ${header} ${tlb} ${guids}
    COMMAND ${NUV_WIDL} -m64 -I${NUV_WIDL_IDL_DIR} -L${NUV_WIDL_TLB_DIR} -I${idl_dir} -I${out}
            -h -o ${header} -t -T ${tlb} -u -U ${guids} ${idl_path}
    DEPENDS ${idl_path}
    COMMENT "widl ${name}.idl"
    VERBATIM)
  set(${prefix}_HEADER ${header} PARENT_SCOPE)
  set(${prefix}_TLB ${tlb} PARENT_SCOPE)
  set(${prefix}_GUIDS ${guids} PARENT_SCOPE)
endfunction()

# _nuv_embed_tlb(<target> <tlb>): embeds a type library as the target's next TYPELIB resource,
# numbered from 1 (1 is the one LoadTypeLib finds on the module path).
function(_nuv_embed_tlb target tlb)
  get_property(index TARGET ${target} PROPERTY NUV_IDL_TYPELIB_COUNT)
  if(NOT index)
    set(index 0)
  endif()
  math(EXPR index "${index} + 1")
  get_filename_component(name ${tlb} NAME_WE)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_${name}_tlb.rc)
  file(CONFIGURE OUTPUT ${rc} CONTENT "${index} TYPELIB \"${tlb}\"\n")
  # The resource compiler cannot see that the .rc reads the .tlb: without this a changed IDL
  # leaves the old type library in the DLL while the vtable has moved on.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${tlb})
  target_sources(${target} PRIVATE ${rc})
  set_property(TARGET ${target} PROPERTY NUV_IDL_TYPELIB_COUNT ${index})
endfunction()

# nuv_add_idl(<target> <file.idl>...)
# Compiles each IDL into the current binary folder, adds the header folder and the GUID
# definitions to <target>, and embeds each type library (see _nuv_embed_tlb).
# The folder holding the headers is kept on the target's NUV_IDL_INCLUDE_DIRS property for
# programs that use the interfaces without linking the module.
function(nuv_add_idl target)
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  foreach(idl IN LISTS ARGN)
    _nuv_widl(${idl} ${out} IDL)
    target_sources(${target} PRIVATE ${IDL_HEADER} ${IDL_GUIDS})
    _nuv_embed_tlb(${target} ${IDL_TLB})
  endforeach()
  target_include_directories(${target} PRIVATE ${out})
  set_property(TARGET ${target} APPEND PROPERTY NUV_IDL_INCLUDE_DIRS ${out})
endfunction()

# nuv_add_interface_library(<name> <file.idl>...)
# Interfaces shared by several binaries (the suite's components and ours): one static library
# with the GUID definitions and, publicly, the folder of the generated headers. Servers embed a
# type library of it with nuv_embed_typelib.
function(nuv_add_interface_library name)
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  set(sources)
  foreach(idl IN LISTS ARGN)
    _nuv_widl(${idl} ${out} IDL)
    get_filename_component(idl_name ${idl} NAME_WE)
    list(APPEND sources ${IDL_HEADER} ${IDL_GUIDS})
    set_property(GLOBAL PROPERTY NUV_TLB_${idl_name} ${IDL_TLB})
  endforeach()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${out})
  target_link_libraries(${name} PUBLIC uuid ole32 oleaut32)
endfunction()

# nuv_embed_typelib(<target> <interface library> <idl name without extension>)
function(nuv_embed_typelib target library idl_name)
  get_property(tlb GLOBAL PROPERTY NUV_TLB_${idl_name})
  if(NOT tlb)
    message(FATAL_ERROR "no type library ${idl_name} (declare it with nuv_add_interface_library first)")
  endif()
  _nuv_embed_tlb(${target} ${tlb})
  target_link_libraries(${target} PRIVATE ${library})
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
