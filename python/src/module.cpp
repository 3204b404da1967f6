// zorvlabelmgr: the label manager library for Python. The package's
// __init__.py re-exports what is defined here.
#include "binding.h"

PYBIND11_MODULE(_zorvlabelmgr, m) {
    m.doc() = "Bindings of libzorvlabelmgr; use the package zorvlabelmgr.";
    zorvpy::registerErrors(m);
    zorvpy::registerLabelModel(m);
    zorvpy::registerServiceCalls(m);
    zorvpy::registerBulkCalls(m);
    zorvpy::registerNotifications(m);
}
