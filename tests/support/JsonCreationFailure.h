// Makes json-c fail to create a container, as it does when memory runs out.
//
// A test program that compiles JsonCreationFailure.cpp replaces json-c's
// json_object_new_object and json_object_new_array for the code linked into
// it; the replacements forward to json-c unless a JsonCreationFailure on the
// calling thread says that this call fails.
#ifndef TESTS_JSON_CREATION_FAILURE_H
#define TESTS_JSON_CREATION_FAILURE_H

class JsonCreationFailure {
 public:
  enum class Container { Object, Array };
  // The `nth` creation of `container` on this thread (counting from 1) fails.
  JsonCreationFailure(Container container, int nth);
  ~JsonCreationFailure();
  JsonCreationFailure(const JsonCreationFailure&) = delete;
  JsonCreationFailure& operator=(const JsonCreationFailure&) = delete;
};

#endif  // TESTS_JSON_CREATION_FAILURE_H
