// tavelin: the host. With a desktop it opens its window; `--headless` runs it without one,
// spoken to through lines on stdin and stdout (see HeadlessHost).
#include "TavelinHost/Main/HostComposition.hpp"

int main(int argc, char** argv) { return tavelin::runHost(argc, argv); }
