# The dorvex command in a container: Debian 12, the same scripts/setup as a workstation (without
# the desktop application, tests and benchmarks), an optimised build installed under /usr/local,
# and dorvex-shard for runs split across pods or machines (docs/SCALING.md).
#
#   docker build -t dorvex .
#   docker run --rm -v "$PWD:/data" -w /data dorvex -l 4 -o small photos
#
# Outputs are written as the container's user: add --user "$(id -u):$(id -g)" to keep the
# owner of the files on the volume.
FROM debian:12

WORKDIR /src
COPY . .

RUN scripts/setup --cli \
 && cmake -S . -B /tmp/build -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DDORVEX_BUILD_APP=OFF -DDORVEX_BUILD_TESTS=OFF -DDORVEX_BUILD_BENCH=OFF \
 && cmake --build /tmp/build --target dorvex \
 && cmake --install /tmp/build --prefix /usr/local --component Unspecified \
 && install -m 0755 scripts/dorvex-shard /usr/local/bin/dorvex-shard \
 && rm -rf /tmp/build /root/.npm \
 && apt-get clean && rm -rf /var/lib/apt/lists/*

# Settings, presets and work folders of a user the image does not know live here.
ENV HOME=/tmp/dorvex-home
WORKDIR /data
ENTRYPOINT ["dorvex"]
CMD ["--help"]
