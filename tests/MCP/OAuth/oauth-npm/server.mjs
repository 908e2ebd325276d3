// A real authorization server on loopback for the OAuth tests: oidc-provider with
//   - the authorization code grant, PKCE required (S256 is the only method it knows),
//   - dynamic client registration (RFC 7591), open to anyone, at /reg,
//   - resource indicators (RFC 8707): any http(s) resource is a resource server offering the
//     scopes "read" and "write", with opaque access tokens,
//   - refresh tokens for every client allowed the refresh_token grant, rotated as the
//     provider's defaults rotate them: a public client's refresh token is replaced by every
//     refresh, and using a replaced one again revokes the whole grant,
//   - the client credentials grant and client authentication by client_secret_basic,
//     client_secret_post, private_key_jwt (ES256) and none,
//   - token introspection (RFC 7662) for any client with a secret, and revocation (RFC 7009),
//   - for the tests, POST /test/expire with a form parameter "token": that access token ends
//     at once, as though its time had run out (its refresh token lives on),
//   - headless approval: the account "tester" is signed in to every browser session and has
//     granted whatever a request asks for, so the authorization endpoint answers at once with a
//     redirect to the client's redirect URI carrying the code (or the error) and the state.
// Started by the tests as
//   node server.mjs CONFIG.json
// where the configuration names the pre-registered clients ({"clients": [ ...client metadata...
// ]}); a client with "public_key_pem" gets that key as its JSON Web Key Set. It prints one JSON
// line once it listens: {"issuer": ..., "token_endpoint": ..., "introspection_endpoint": ...,
// "revocation_endpoint": ..., "expiry_endpoint": ..., "refresh_tokens": {client_id: token}},
// then serves until its standard input ends. Its metadata is at
// /.well-known/openid-configuration.
import { createServer } from 'node:http';
import { createPublicKey } from 'node:crypto';
import { readFileSync } from 'node:fs';
import Provider, { errors } from 'oidc-provider';

const config = JSON.parse(readFileSync(process.argv[2], 'utf8'));
const server = createServer();
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const issuer = `http://127.0.0.1:${server.address().port}`;

const clients = config.clients.map((client) => {
  const { public_key_pem: pem, ...metadata } = client;
  if (pem) {
    metadata.jwks = { keys: [createPublicKey(pem).export({ format: 'jwk' })] };
  }
  return metadata;
});

const resourceScopes = ['read', 'write'];

const provider = new Provider(issuer, {
  clients,
  features: {
    clientCredentials: { enabled: true },
    devInteractions: { enabled: false },
    introspection: { enabled: true },
    revocation: { enabled: true },
    registration: { enabled: true },
    resourceIndicators: {
      enabled: true,
      defaultResource: async () => undefined,
      useGrantedResource: async () => true,
      getResourceServerInfo: async (ctx, resourceIndicator) => {
        if (!/^https?:\/\//.test(resourceIndicator)) {
          throw new errors.InvalidTarget();
        }
        return {
          scope: resourceScopes.join(' '),
          audience: resourceIndicator,
          accessTokenFormat: 'opaque',
          accessTokenTTL: 3600,
        };
      },
    },
  },
  pkce: { required: () => true },
  scopes: ['openid', 'offline_access', ...resourceScopes],
  clientAuthMethods: ['client_secret_basic', 'client_secret_post', 'private_key_jwt', 'none'],
  enabledJWA: { clientAuthSigningAlgValues: ['ES256'] },
  findAccount: async (ctx, id) => ({ accountId: id, claims: async () => ({ sub: id }) }),
  issueRefreshToken: async (ctx, client) => client.grantTypeAllowed('refresh_token'),
  // No prompt ever asks for the user: see loadExistingGrant and Session.get below.
  interactions: { policy: [] },
  // The grant is made just in time from what the request asks for.
  loadExistingGrant: async (ctx) => {
    const { oidc } = ctx;
    const grant = new oidc.provider.Grant({
      accountId: oidc.session.accountId, clientId: oidc.client.clientId,
    });
    const requested = [...oidc.requestParamScopes];
    if (oidc.requestParamOIDCScopes.size) {
      grant.addOIDCScope([...oidc.requestParamOIDCScopes].join(' '));
    }
    for (const [indicator, resourceServer] of Object.entries(oidc.resourceServers)) {
      const offered = new Set(resourceServer.scope.split(' '));
      const scope = requested.filter((name) => offered.has(name)).join(' ');
      if (scope) {
        grant.addResourceScope(indicator, scope);
      }
    }
    await grant.save();
    return grant;
  },
});

// Every browser session is signed in as "tester".
const { Session } = provider;
const loadSession = Session.get;
Session.get = async function get(ctx) {
  const session = await loadSession.call(this, ctx);
  if (!session.accountId) {
    session.loginAccount({ accountId: 'tester' });
  }
  return session;
};

const serveProvider = provider.callback();
server.on('request', async (req, res) => {
  if (req.method !== 'POST' || req.url !== '/test/expire') {
    serveProvider(req, res);
    return;
  }
  let body = '';
  for await (const chunk of req) body += chunk;
  const token = await provider.AccessToken.find(new URLSearchParams(body).get('token') ?? '');
  await token?.destroy();
  res.writeHead(token ? 204 : 404).end();
});

const refreshTokens = {};
for (const metadata of clients) {
  if (!(metadata.grant_types || []).includes('refresh_token')) continue;
  const client = await provider.Client.find(metadata.client_id);
  const grant = new provider.Grant({ accountId: 'tester', clientId: client.clientId });
  grant.addOIDCScope('openid offline_access');
  const grantId = await grant.save();
  const token = new provider.RefreshToken({
    accountId: 'tester', client, grantId, gty: 'authorization_code',
    scope: 'openid offline_access', iat: Math.floor(Date.now() / 1000),
  });
  refreshTokens[metadata.client_id] = await token.save();
}

process.stdout.write(JSON.stringify({
  issuer,
  token_endpoint: `${issuer}/token`,
  introspection_endpoint: `${issuer}/token/introspection`,
  revocation_endpoint: `${issuer}/token/revocation`,
  expiry_endpoint: `${issuer}/test/expire`,
  refresh_tokens: refreshTokens,
}) + '\n');
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
