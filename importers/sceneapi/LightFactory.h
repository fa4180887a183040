// Factories supply a scene API back end to an orvSceneapi_oo wrapper and give it up again.
#pragma once

#include "orvScene_api.h"

namespace orv {

class orvSceneapi_oo;

// Base of everything that can supply a back end. getApi may be called again and returns
// the same back end; onAttach is called once by a wrapper that received a back end,
// before anything is written; close gives the back end up.
class LightFactory {
public:
    virtual ~LightFactory() {}
    virtual orvScene_api* getApi() = 0;
    virtual void onAttach(orvSceneapi_oo* wrapper) = 0;
    virtual void close() = 0;
};

// Hands out the back end it was made with; owns nothing.
class PassThroughFactory : public LightFactory {
public:
    explicit PassThroughFactory(orvScene_api* api) : api_(api) {}
    ~PassThroughFactory() override {}
    orvScene_api* getApi() override { return api_; }
    void onAttach(orvSceneapi_oo*) override {}
    void close() override {}

private:
    orvScene_api* api_;
};

} // namespace orv
