// tavolex: the local menu maker. The first start serves the interface and opens it in a
// browser; a later start hands its arguments to the running one and ends.
#include "app.h"

int main(int argc, char** argv)
{
    return tavolex::app::ProcessEntry(argc, argv);
}
