# One static library per module, each linked to the modules it includes, so that
# the link runs the way the includes do: app, then wizard and install, then
# display and net, then rules, then support, then the platform seam (quorvin_os,
# quorvin_ui). rules holds what the installer and quorvin-repo must judge alike:
# the name rules, the manifest parser, the signature check and the archive's
# opening pass, without the network or the window.
function(quorvin_module name)
  cmake_parse_arguments(M "" "" "SOURCES;DEPS" ${ARGN})
  add_library(quorvin_${name} STATIC ${M_SOURCES})
  target_include_directories(quorvin_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}
                             ${CMAKE_BINARY_DIR}/generated)
  target_link_libraries(quorvin_${name} PUBLIC ${M_DEPS})
endfunction()

macro(quorvin_sources var dir)
  file(GLOB ${var} CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${dir}/*.cpp)
endmacro()
quorvin_sources(support_sources support)
quorvin_sources(rules_sources rules)
quorvin_sources(net_sources net)
quorvin_sources(display_sources display)
quorvin_sources(install_sources install)
quorvin_sources(wizard_sources wizard)
quorvin_sources(app_sources app)
quorvin_module(support SOURCES ${support_sources} DEPS quorvin_os quorvin_sha256)
quorvin_module(rules SOURCES ${rules_sources} DEPS quorvin_support quorvin_sodium quorvin_minizip)
quorvin_module(net SOURCES ${net_sources} DEPS quorvin_rules quorvin_support)
quorvin_module(display SOURCES ${display_sources} DEPS quorvin_ui)
quorvin_key_source(QUORVIN_KEY_SOURCE "${QUORVIN_PUBLISHER_KEY}" publisher_key)
add_library(quorvin_publisher_key STATIC ${QUORVIN_KEY_SOURCE})
quorvin_module(install SOURCES ${install_sources}
               DEPS quorvin_rules quorvin_net quorvin_display quorvin_publisher_key)
quorvin_module(wizard SOURCES ${wizard_sources} DEPS quorvin_display quorvin_support)
quorvin_module(app SOURCES ${app_sources} DEPS quorvin_wizard quorvin_install)

# The whole program above the seam (what the tests and the benchmark link).
add_library(quorvin_core INTERFACE)
target_link_libraries(quorvin_core INTERFACE quorvin_app)
