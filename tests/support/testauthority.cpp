#include "support/testauthority.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace testsupport {

namespace {

void Run(const std::string& folder, const std::string& arguments) {
    const std::string command = "cd '" + folder + "' && openssl " + arguments + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

const char kNewKey[] = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";

}  // namespace

TestAuthority::TestAuthority(std::string folder, std::string name)
    : folder_(std::move(folder)), name_(std::move(name)) {
    Run(folder_, "req -x509 " + std::string(kNewKey) + " -days 2 -subj '/CN=Sendrift Test " +
                     name_ + "' -keyout " + name_ + ".key -out " + name_ + ".pem");
}

TlsIdentity TestAuthority::Issue(const std::string& name, const std::string& subjectAltName,
                                 int days) const {
    {
        std::ofstream extensions(folder_ + "/" + name + ".ext");
        extensions << "subjectAltName=" << subjectAltName << "\n";
        if (!extensions) throw std::runtime_error("cannot write " + name + ".ext");
    }
    Run(folder_, "req " + std::string(kNewKey) + " -subj /CN=" + name + " -keyout " + name +
                     ".key -out " + name + ".csr");
    Run(folder_, "x509 -req -in " + name + ".csr -CA " + name_ + ".pem -CAkey " + name_ +
                     ".key -CAcreateserial -days " + std::to_string(days) + " -extfile " + name +
                     ".ext -out " + name + ".pem");
    return {folder_ + "/" + name + ".pem", folder_ + "/" + name + ".key"};
}

ScopedEnvironment::ScopedEnvironment(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* previous = std::getenv(name_.c_str())) {
        wasSet_ = true;
        previous_ = previous;
    }
    if (value) {
        setenv(name_.c_str(), value, 1);
    } else {
        unsetenv(name_.c_str());
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    if (wasSet_) {
        setenv(name_.c_str(), previous_.c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

}  // namespace testsupport
