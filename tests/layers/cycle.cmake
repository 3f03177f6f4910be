# The program's layers with one link more, which closes a circle: the check must refuse it.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/layers.cmake)
list(APPEND QUVO_LINKS_shared tcp)
