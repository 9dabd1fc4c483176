// signals.h - signals turned into bytes on a pipe, so that the main loop can poll for them.
#pragma once

#include <initializer_list>
#include <vector>

class SignalPipe {
public:
    explicit SignalPipe(std::initializer_list<int> signals);
    int fd() const;
    // The signals that arrived since the last call, in order.
    std::vector<int> Take();
};
