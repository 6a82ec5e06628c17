# Finds the OpenCV modules the program uses from Debian's per-module packages
# (libopencv-<module>-dev), which ship headers and libraries but no CMake or pkg-config files;
# those come only with the whole libopencv-dev.
#
#   find_package(OpenCVModules REQUIRED COMPONENTS core imgproc ...)
#
# makes one imported target per module, OpenCV::<module>, carrying the include folder.

find_path(OpenCVModules_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)
mark_as_advanced(OpenCVModules_INCLUDE_DIR)

set(_ocv_required OpenCVModules_INCLUDE_DIR)
foreach(_ocv_module ${OpenCVModules_FIND_COMPONENTS})
  find_library(OpenCVModules_${_ocv_module}_LIBRARY opencv_${_ocv_module})
  mark_as_advanced(OpenCVModules_${_ocv_module}_LIBRARY)
  if(OpenCVModules_${_ocv_module}_LIBRARY AND OpenCVModules_INCLUDE_DIR
     AND EXISTS ${OpenCVModules_INCLUDE_DIR}/opencv2/${_ocv_module}.hpp)
    set(OpenCVModules_${_ocv_module}_FOUND TRUE)
  else()
    set(OpenCVModules_${_ocv_module}_FOUND FALSE)
  endif()
  list(APPEND _ocv_required OpenCVModules_${_ocv_module}_LIBRARY)
endforeach()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OpenCVModules REQUIRED_VARS ${_ocv_required} HANDLE_COMPONENTS)

if(OpenCVModules_FOUND)
  foreach(_ocv_module ${OpenCVModules_FIND_COMPONENTS})
    if(NOT TARGET OpenCV::${_ocv_module})
      add_library(OpenCV::${_ocv_module} UNKNOWN IMPORTED)
      set_target_properties(OpenCV::${_ocv_module} PROPERTIES
        IMPORTED_LOCATION ${OpenCVModules_${_ocv_module}_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${OpenCVModules_INCLUDE_DIR})
    endif()
  endforeach()
endif()
unset(_ocv_required)
unset(_ocv_module)
