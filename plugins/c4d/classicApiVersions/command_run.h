// One run of a command over a document: everything the commands assemble around the
// translation driver, in one place, so that the commands, the tests and the benchmarks
// all drive the same chain.
//
// The run starts the context's report when it is made and publishes it when it ends. Its
// scene goes through a factory: the wrapper made on the factory writes the start of the
// scene, a guard behind the wrapper keeps every number finite (reporting what it clamps), a
// counter between it and the back end counts what is written into the report, the import
// options block comes first, then the translation driver writes the
// document. The bytes of the scene are the same with or without the counter and report.
#pragma once

#include "c4d_host.h"

#include <chrono>
#include <memory>
#include <string>

class CountingSceneApi;
class FiniteSceneApi;
class RepeatLinkFactory;
struct TranslationContext;
namespace orv {
class LightFactory;
class orvSceneapi_oo;
} // namespace orv

class CommandRun {
public:
    // Starts the context's report of the command ("export", "render", "update") on doc.
    CommandRun(TranslationContext& context, const std::string& command, host::Document doc);
    // Ends an open scene, notes the time taken and publishes the report (console, log,
    // host), whatever way the run leaves. Never throws.
    ~CommandRun();
    CommandRun(const CommandRun&) = delete;
    CommandRun& operator=(const CommandRun&) = delete;

    // Writes the run's document through the factory: open, translate, close. The scene is
    // closed when this returns, also when it leaves by an exception. Answers false, having
    // written nothing, when the factory gave no back end. The factory must outlive the call.
    // A scene file (or any other factory) gets camera and environment adjusted; a renderer
    // only when it does not hold the document's scene yet, which the link factory knows
    // once it has connected.
    bool write(orv::LightFactory& factory);
    bool write(RepeatLinkFactory& factory);

    // The steps of write, for callers that hold the scene open between them (the tests of
    // the walk). open makes the wrapper on the factory and stores it in context.scene, puts
    // the counter behind it and writes the import options block (link: the factory when it
    // is a renderer link, as for write). Answers false and leaves context.scene null when
    // the factory has no back end. The factory must outlive the open scene.
    bool open(orv::LightFactory& factory, const RepeatLinkFactory* link = nullptr);
    // Runs the translation driver on doc into the open scene.
    void translate(host::Document doc);
    // Deletes the wrapper (ending the scene on the factory) and sets context.scene to null.
    void close();

    // Leaves the counter out of scenes opened from now on, so the report's written counts
    // stay zero. The tests use it to show that counting changes no byte of the scene, the
    // benchmarks to measure what counting costs.
    void leaveCounterOut() { counting_ = false; }

    TranslationContext& context() { return context_; }
    host::Document document() const { return document_; }

private:
    bool writeThrough(orv::LightFactory& factory, const RepeatLinkFactory* link);

    TranslationContext& context_;
    host::Document document_;
    std::chrono::steady_clock::time_point start_;
    orv::orvSceneapi_oo* scene_ = nullptr;
    std::unique_ptr<CountingSceneApi> counter_;
    std::unique_ptr<FiniteSceneApi> guard_;
    bool counting_ = true;
};
