// A C++ application with a scale: prints every weight until Ctrl-C.
#include <cstdio>

#include <varnel/host/scale.h>

int main(int argc, char** argv) {
    varnel::posix::EventLoop loop;
    varnel::posix::Runtime runtime(loop);
    if (argc > 1) runtime.Ports().Bind(1, argv[1]);  // e.g. /dev/ttyUSB0; else port 1
    varnel::host::Scale scale(runtime);
    scale.Container().SubscribeScaleComm([&] {
        if (scale->ScaleCommEvent() == 1) {
            std::printf("%s\n", scale->FormattedWt().c_str());
            std::fflush(stdout);  // at once, also into a pipe
        }
    });
    std::int16_t open = -1;
    scale->ScaleOpen(open);
    loop.Run();
}
