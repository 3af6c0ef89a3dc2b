#pragma once

// A small object graph store on SQLite: a model of entities, a coordinator
// owning the stores, and contexts that insert, change, delete, save and fetch.
#include "skald/object_store/fetch_request.h"
#include "skald/object_store/managed_object.h"
#include "skald/object_store/model.h"
#include "skald/object_store/object_context.h"
#include "skald/object_store/predicate.h"
#include "skald/object_store/store_coordinator.h"
