// The interned names of the library, all in one place.
//
// Every name that the native code uses to read an attribute, look up a global
// or pass a keyword is declared here once. The identifier says the text: k,
// then its words capitalised, with a leading underscore read "Under" and a
// dunder read "Dunder"; all-caps words stay as they are. So kUnderRemote is
// "_remote", kRemote is "remote" and kDunderName is "__name__".
//
// A Name is interned once per process, at the first import of either module
// (under the GIL, before any use), and never changes after that: it is a
// constant in all but the C++ sense. The library holds its reference for the
// life of the process: 3.12 makes interned strings immortal, 3.13 does not,
// and a held reference keeps the name the one interned string of its text, on
// which the comparisons by identity rely. The modules refuse to load in
// sub-interpreters (imports.cpp), so no interpreter sees another's.
#pragma once

#include "common/ref.h"

namespace sorvane {

// A name interned once and then used for attribute access, global lookup and
// keyword arguments. Interned names hash once and compare by pointer in the
// interpreter's dict lookups. Every Name links itself into a list at
// static-initialisation time, and intern_names() interns all of them in one
// go.
class Name {
public:
    explicit Name(const char* text) noexcept;
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    // Borrowed; valid once intern_names() has succeeded.
    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

private:
    friend bool intern_names() noexcept;
    const char* text_;
    PyObject* object_ = nullptr;
    Name* next_;
};

// Interns every Name of the library; false with an exception set on failure.
bool intern_names() noexcept;

// Attributes of callbacks.
extern const Name kName;
extern const Name kUnderName;
extern const Name kUnderType;
extern const Name kUnderActivatesOn;
extern const Name kUnderActivatesEveryN;
extern const Name kUnderTriggers;
extern const Name kUnderRemote;
extern const Name kUnderReport;
extern const Name kUnderNCalls;
extern const Name kUnderActivatedBy;
extern const Name kUnderData;
extern const Name kUnderCallByType;
extern const Name kType;
extern const Name kDunderCall;

// The host's objects: events, simulators, placements, graphs, actors.
extern const Name kSimulator;
extern const Name kPlacements;
extern const Name kInfrastructure;
extern const Name kPlacementView;
extern const Name kData;
extern const Name kApplication;
extern const Name kServices;
extern const Name kMapping;
extern const Name kId;
extern const Name kNodes;
extern const Name kEdges;
extern const Name kValues;
extern const Name kServicePlacement;
extern const Name kUnderDeployed;
extern const Name kGetActor;
extern const Name kEntrypoint;
extern const Name kOpsEntrypoint;
extern const Name kRemote;
extern const Name kPop;

// Callback types, as the dispatch compares them.
extern const Name kSimulation;
extern const Name kService;
extern const Name kInteraction;
extern const Name kNode;
extern const Name kLink;

// Module globals that the native code looks up at each use.
extern const Name kSorvaneEvent;
extern const Name kSorvaneCallback;
extern const Name kRay;
extern const Name kRayGet;
extern const Name kDefaultdict;
extern const Name kRemoteSimRovel;
extern const Name kRemoteOps;
extern const Name kUnderHandleError;
extern const Name kCast;
extern const Name kList;
extern const Name kResponseCode;
extern const Name kUnderGetRemotes;

// Members of the host's enumerations.
extern const Name kDEPLOY;
extern const Name kSTART;
extern const Name kSTOP;
extern const Name kUNDEPLOY;
extern const Name kERROR;

// Keyword arguments.
extern const Name kServiceId;

// The interpreter's own names.
extern const Name kDunderQualname;
extern const Name kDunderModule;
extern const Name kDunderDoc;
extern const Name kDunderName;
extern const Name kBuiltins;
extern const Name kZip;
extern const Name kStaticmethod;
extern const Name kValueError;

// Constants the modules bind.
extern const Name kTick;
extern const Name kCsv;

}  // namespace sorvane
