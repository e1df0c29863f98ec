// The progress sink: how a long document job (parsing the SVG pages, writing the PDF) reports how
// far it has come and learns that its caller wants it to stop.
//
// The job asks IsCancelled() between units of work (after every drawing item of a page) and
// reports the fraction of the current stage done, from 0 to 1. A sink that wants a start value and
// a span maps the fraction onto them itself.
//
//     class Quiet : public ProgressSink { ... };   // answers false, ignores reports
//     WritePdfDocument(options, pages, path, &quiet);
#pragma once

namespace tavolex::pdf {

class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    // True stops the work; the job then fails.
    virtual bool IsCancelled() = 0;
    // `fraction` grows from 0 to 1 over the current stage.
    virtual void ReportProgress(double fraction) = 0;
};

} // namespace tavolex::pdf
