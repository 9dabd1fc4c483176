# Debian's Boost, TinyXML 2.6 and the wxWidgets base library (no GUI).
find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS system filesystem)

add_library(dvr::boost INTERFACE IMPORTED)
target_link_libraries(dvr::boost INTERFACE Boost::system Boost::filesystem)

find_path(TINYXML_INCLUDE_DIR tinyxml.h REQUIRED)
find_library(TINYXML_LIBRARY tinyxml REQUIRED)
add_library(dvr::tinyxml INTERFACE IMPORTED)
target_include_directories(dvr::tinyxml INTERFACE ${TINYXML_INCLUDE_DIR})
target_link_libraries(dvr::tinyxml INTERFACE ${TINYXML_LIBRARY})

# wx/setup.h is only shipped with the GUI development package; scripts/setup.sh unpacks that
# package alone into WX_DEV_ROOT. The base library is linked by its versioned file name.
if(NOT WX_DEV_ROOT)
  if(CMAKE_CROSSCOMPILING)
    set(WX_DEV_ROOT ${CMAKE_SYSROOT})
  else()
    set(WX_DEV_ROOT /opt/dvrcore-deps/wx-host)
  endif()
endif()
set(_wx_arch_dir ${WX_DEV_ROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
find_path(WX_SETUP_DIR wx/setup.h PATHS ${_wx_arch_dir}/wx/include/gtk3-unicode-3.2
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(WX_INCLUDE_DIR wx/app.h PATH_SUFFIXES wx-3.2 REQUIRED)
find_library(WX_BASE_LIBRARY NAMES wx_baseu-3.2 libwx_baseu-3.2.so.0 REQUIRED)
add_library(dvr::wxbase INTERFACE IMPORTED)
target_include_directories(dvr::wxbase SYSTEM INTERFACE ${WX_SETUP_DIR} ${WX_INCLUDE_DIR})
target_compile_definitions(dvr::wxbase INTERFACE WXUSINGDLL __WXGTK__ wxUSE_GUI=0
                           _FILE_OFFSET_BITS=64)
target_link_libraries(dvr::wxbase INTERFACE ${WX_BASE_LIBRARY})

# ARMv5 has no native 64-bit atomics.
set(DVRCORE_ATOMIC_LIB "")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(DVRCORE_ATOMIC_LIB atomic)
endif()
