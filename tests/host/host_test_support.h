// Shared helpers of the host tests: a fixture that binds the simulated host's table and
// loads a document from JSON text.
#pragma once

#include "c4d_host.h"
#include "sim_host.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

class HostFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::clearHostState();
        host::bind(sim::hostTable());
    }
    void TearDown() override
    {
        host::unbind();
        sim::clearHostState();
    }

    // Loads a document; the test fails when the loader rejects it.
    host::Document load(const std::string& json, const std::string& folder = "/docs")
    {
        std::string error;
        doc_ = sim::parseDocument(json, folder, error);
        EXPECT_TRUE(doc_) << error;
        return doc_ ? host::Document(sim::handle(doc_.get())) : host::Document();
    }

    sim::Document& model() { return *doc_; }

    std::unique_ptr<sim::Document> doc_;
};

inline bool near(const c4d_vec& a, const c4d_vec& b, double eps = 1e-9)
{
    return std::fabs(a.x - b.x) < eps && std::fabs(a.y - b.y) < eps && std::fabs(a.z - b.z) < eps;
}

inline bool near(const c4d_matrix& a, const c4d_matrix& b, double eps = 1e-9)
{
    return near(a.off, b.off, eps) && near(a.v1, b.v1, eps) && near(a.v2, b.v2, eps) &&
           near(a.v3, b.v3, eps);
}

inline std::string str(const c4d_vec& v)
{
    return "(" + std::to_string(v.x) + ", " + std::to_string(v.y) + ", " + std::to_string(v.z) + ")";
}
