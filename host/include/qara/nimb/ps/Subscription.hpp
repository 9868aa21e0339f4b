#pragma once

namespace qara::nimb::ps {

class Subscription
{
public:
    virtual void close() = 0;
    virtual ~Subscription();
};

}  // namespace qara::nimb::ps
