// tavelin-demo: the streaming server with synthetic portals, driven by the same line protocol
// as `tavelin --headless` (see DemoHost); with --desktop it shares windows and regions of the
// desktop instead (see DemoDesktop).
#include "TavelinHost/Main/HostComposition.hpp"

int main(int argc, char** argv) { return tavelin::runDemo(argc, argv); }
