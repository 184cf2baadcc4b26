# Which Fast DDS the project builds against. LUMO_FASTDDS_MAJOR:
#   2     Fast DDS 2.x, CMake package "fastrtps" (Debian 12's 2.9);
#   3     Fast DDS 3.x, CMake package "fastdds" (with Fast CDR 2), e.g.
#         -DCMAKE_PREFIX_PATH=/opt/lumo-fastdds3 after scripts/build-fastdds3.sh;
#   auto  3.x when CMAKE_PREFIX_PATH (or the system) holds one, else 2.x.
# Every difference between the two lines is kept inside the facade's
# compatibility layer (libs/componentFramework); this only picks the package.
set(LUMO_FASTDDS_MAJOR "auto" CACHE STRING "Fast DDS major version to build against: 2, 3 or auto")
set_property(CACHE LUMO_FASTDDS_MAJOR PROPERTY STRINGS auto 2 3)

if(LUMO_FASTDDS_MAJOR STREQUAL "auto")
    find_package(fastdds 3 CONFIG QUIET)
    if(fastdds_FOUND)
        set(LUMO_FASTDDS_MAJOR_FOUND 3)
    else()
        set(LUMO_FASTDDS_MAJOR_FOUND 2)
    endif()
elseif(LUMO_FASTDDS_MAJOR STREQUAL "3")
    find_package(fastdds 3 CONFIG REQUIRED)
    set(LUMO_FASTDDS_MAJOR_FOUND 3)
elseif(LUMO_FASTDDS_MAJOR STREQUAL "2")
    set(LUMO_FASTDDS_MAJOR_FOUND 2)
else()
    message(FATAL_ERROR "LUMO_FASTDDS_MAJOR must be 2, 3 or auto, not '${LUMO_FASTDDS_MAJOR}'")
endif()

if(LUMO_FASTDDS_MAJOR_FOUND EQUAL 3)
    # Fast DDS 3 needs Fast CDR 2; its package config has found it already.
    find_package(fastcdr 2 CONFIG REQUIRED)
    set(LUMO_FASTDDS_TARGET fastdds)
    set(LUMO_FASTDDS_VERSION ${fastdds_VERSION})
    # A Fast DDS installed under a prefix of its own (upstream's default
    # install) carries no run path to the Fast CDR beside it, and a RUNPATH
    # only serves an executable's direct dependencies: an RPATH serves
    # libfastdds' own as well, so tools and tests start without
    # LD_LIBRARY_PATH.
    add_link_options(LINKER:--disable-new-dtags)
else()
    find_package(fastcdr CONFIG REQUIRED)
    find_package(fastrtps 2 CONFIG REQUIRED)
    set(LUMO_FASTDDS_TARGET fastrtps)
    set(LUMO_FASTDDS_VERSION ${fastrtps_VERSION})
endif()
message(STATUS "Fast DDS ${LUMO_FASTDDS_VERSION} (${LUMO_FASTDDS_TARGET}), Fast CDR ${fastcdr_VERSION}")

# Installed tools find a Fast DDS outside the linker's default paths (e.g.
# under /opt) without LD_LIBRARY_PATH.
set(CMAKE_INSTALL_RPATH_USE_LINK_PATH ON)
