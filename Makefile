# Entry points. Each target bootstraps the machine first, so every one works on
# a fresh checkout. Builds use two jobs (the CI machine has two cores).
JOBS   ?= 2
BUILD  ?= build
ROOT   ?= $(CURDIR)/$(BUILD)/root
CMAKE_FLAGS ?=

.PHONY: all bootstrap configure build test asan tsan bench install demo demo-ceph demo-s3 ceph-start ceph-stop fuzz clean

all: build

bootstrap:
	@bash scripts/bootstrap.sh

configure: bootstrap
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest -j$(JOBS) --output-on-failure --timeout 600

# Whole suite under AddressSanitizer + UndefinedBehaviorSanitizer.
asan: bootstrap
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DDM_SANITIZE=asan $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-asan -j$(JOBS)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest -j$(JOBS) --output-on-failure --timeout 900

# ThreadSanitizer over the suites whose code runs threads.
tsan: bootstrap
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DDM_SANITIZE=tsan $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-tsan -j$(JOBS)
	@cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest -j$(JOBS) --output-on-failure --timeout 900 -L 'replication|host|foundation'

bench: configure
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)
	@bash bench/run_all.sh $(BUILD)

install: build
	@cmake --install $(BUILD) --prefix $(ROOT) >/dev/null
	@echo "installed into $(ROOT)"

demo: install
	@$(ROOT)/bin/datamover --root $(ROOT) demo

# A throw-away single-node Ceph cluster on loopback (CEPH_DIR), and the demo on it; the
# cluster is stopped again whatever the demo's outcome.
CEPH_DIR ?= /tmp/dm-ceph-demo
ceph-start: bootstrap
	@CEPH_CLUSTER_DIR=$(CEPH_DIR) bash scripts/ceph-cluster.sh start
ceph-stop:
	@CEPH_CLUSTER_DIR=$(CEPH_DIR) bash scripts/ceph-cluster.sh stop

demo-ceph: install ceph-start
	@$(ROOT)/bin/datamover --root $(ROOT) demo --storage ceph --ceph-conf $(CEPH_DIR)/ceph.conf; \
	  rc=$$?; CEPH_CLUSTER_DIR=$(CEPH_DIR) bash scripts/ceph-cluster.sh stop; exit $$rc

# The same on Ceph with the repository in a bucket of an S3 gateway (radosgw, over TLS) on that cluster.
demo-s3: install ceph-start
	@export CEPH_CLUSTER_DIR=$(CEPH_DIR); bash scripts/rgw.sh start && \
	  eval "$$(bash scripts/rgw.sh env | sed 's/^/export /')" && \
	  AWS_CA_BUNDLE=$$RGW_CA_FILE $(ROOT)/bin/datamover --root $(ROOT) demo --storage ceph \
	    --ceph-conf $(CEPH_DIR)/ceph.conf --repo s3://$$RGW_TLS_ENDPOINT/$$RGW_BUCKET/demo; \
	  rc=$$?; bash scripts/rgw.sh stop; bash scripts/ceph-cluster.sh stop; exit $$rc

# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS (default 60).
FUZZ_SECONDS ?= 60
fuzz: bootstrap
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -DDM_FUZZ=ON -DDM_SANITIZE=asan -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build-fuzz -j$(JOBS) --target fuzz_dirty_ranges
	@mkdir -p build-fuzz/corpus && cp -n fuzz/corpus/dirty_ranges/* build-fuzz/corpus/
	@build-fuzz/fuzz/fuzz_dirty_ranges -max_total_time=$(FUZZ_SECONDS) -max_len=8192 -print_final_stats=1 build-fuzz/corpus

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
