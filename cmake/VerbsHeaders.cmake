# rdma-core's verbs header (infiniband/verbs.h), which the extension and the
# simulator compile against. Without it the configure stops and says which
# package provides it, rather than CMake naming the variable it left unset.
if(NOT VERBS_INCLUDE_DIR)
  find_path(VERBS_INCLUDE_DIR infiniband/verbs.h)
endif()
if(NOT VERBS_INCLUDE_DIR)
  message(FATAL_ERROR
    "infiniband/verbs.h was not found: vantor builds against the rdma-core "
    "development headers. Install them: libibverbs-dev on Debian and Ubuntu, "
    "rdma-core-devel on RPM distributions (Amazon Linux, RHEL, Fedora, SUSE). "
    "For an rdma-core installed under another prefix, add that prefix to "
    "CMAKE_PREFIX_PATH.")
endif()
