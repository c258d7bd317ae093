# Checks the dynamic symbols of libHalvornJ.so.1: it must export only the JNI
# entry points of com.velmarworks.halvorn.Quenvar, import from libQuenvar only
# the eight functions the native methods call, carry its SONAME, and find
# libQuenvar beside itself.
#   cmake -DNM=... -DREADELF=... -DBRIDGE=libHalvornJ.so.1 -DCORE=libQuenvar.so.1 -P CheckJniSymbols.cmake

cmake_minimum_required(VERSION 3.25)

function(dynamic_symbols file mode out)
  execute_process(COMMAND ${NM} -D ${mode} ${file}
    OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${file}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${text}")
  set(names)
  foreach(line IN LISTS lines)
    # "address type name" for defined symbols, "type name" for undefined ones.
    string(REGEX REPLACE "^.* ([A-Za-z]) ([^ @]+)(@.*)?$" "\\1 \\2" entry "${line}")
    list(APPEND names "${entry}")
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

set(failures)

# Exports: the eight native methods and nothing else.
dynamic_symbols(${BRIDGE} --defined-only bridge_defined)
set(exported)
foreach(entry IN LISTS bridge_defined)
  string(REGEX REPLACE "^. " "" name "${entry}")
  list(APPEND exported ${name})
endforeach()
set(native_methods nativeOpenPort nativeClosePort nativeReadPort nativeWritePort
    nativeGetParsedStatus nativeBeginCheckedBlock nativeEndCheckedBlock nativeResetDevice)
set(expected_exports)
foreach(method IN LISTS native_methods)
  list(APPEND expected_exports Java_com_velmarworks_halvorn_Quenvar_${method})
endforeach()
list(SORT exported)
list(SORT expected_exports)
if(NOT exported STREQUAL expected_exports)
  list(APPEND failures "exports are [${exported}], expected [${expected_exports}]")
endif()

# Imports from libQuenvar: exactly the eight that the native methods use.
dynamic_symbols(${CORE} --defined-only core_defined)
set(core_exports)
foreach(entry IN LISTS core_defined)
  if(entry MATCHES "^T ")
    string(REGEX REPLACE "^. " "" name "${entry}")
    list(APPEND core_exports ${name})
  endif()
endforeach()
dynamic_symbols(${BRIDGE} --undefined-only bridge_undefined)
set(imported_from_core)
foreach(entry IN LISTS bridge_undefined)
  string(REGEX REPLACE "^. " "" name "${entry}")
  if(name IN_LIST core_exports)
    list(APPEND imported_from_core ${name})
  endif()
endforeach()
set(expected_imports OpenPort ClosePort ReadPort WritePort GetParsedStatusEx
    BeginCheckedBlockEx EndCheckedBlockEx ResetDevice)
list(SORT imported_from_core)
list(SORT expected_imports)
if(NOT imported_from_core STREQUAL expected_imports)
  list(APPEND failures "imports from libQuenvar are [${imported_from_core}], expected [${expected_imports}]")
endif()

# Dynamic section: its own SONAME, libQuenvar needed, and found through $ORIGIN.
execute_process(COMMAND ${READELF} -d ${BRIDGE} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${BRIDGE}")
endif()
if(NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[libHalvornJ\\.so\\.1\\]")
  list(APPEND failures "SONAME is not libHalvornJ.so.1")
endif()
if(NOT dynamic MATCHES "\\(NEEDED\\)[^\n]*\\[libQuenvar\\.so\\.1\\]")
  list(APPEND failures "libQuenvar.so.1 is not NEEDED")
endif()
if(NOT dynamic MATCHES "\\(RUNPATH\\)[^\n]*\\[\\$ORIGIN\\]")
  list(APPEND failures "RUNPATH is not exactly $ORIGIN")
endif()
if(dynamic MATCHES "libjvm")
  list(APPEND failures "links the JVM library")
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "libHalvornJ.so.1:\n  ${text}")
endif()
message(STATUS "libHalvornJ.so.1: 8 JNI exports, 8 libQuenvar imports, SONAME and RUNPATH as expected")
